// The alerts-off and auto-response modes on the main form: the mode table with
// its tray states and replies, the prompt and what goes on while it waits,
// Exit and the program's end during a prompt, and auto-response at start.
#include <gtest/gtest.h>

#include <functional>

#include <QAction>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "app/AwayModes.h"
#include "tests/app/MainTestSupport.h"
#include "ui/Splash.h"

namespace {

using namespace maintest;

// The status reply to one message.
std::string Reply(int Port) {
    return Deliver(Port, Request("Are you there?"));
}

template <class W>
int CountWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<W*>(w) != nullptr;
    return n;
}

// Runs Step while the next prompt waits. A prompt Step leaves waiting is
// ended, and the test fails, rather than hanging.
void WhilePromptWaits(std::function<void(TfAutoResponse&)> Step) {
    QTimer::singleShot(0, [Step = std::move(Step)] {
        TfAutoResponse* prompt = fMain ? fMain->AwayModes().Prompt() : nullptr;
        if (!prompt) {
            ADD_FAILURE() << "no prompt is waiting";
            return;
        }
        Step(*prompt);
        QTimer::singleShot(0, prompt, [prompt] {
            if (!prompt->Answered()) {
                ADD_FAILURE() << "the prompt was left waiting";
                prompt->EndWait();
            }
        });
    });
}

void Answer(TfAutoResponse& Prompt, const char* Text) {
    Prompt.mmMessage->selectAll();
    QTest::keyClick(Prompt.mmMessage, Qt::Key_Delete);
    QTest::keyClicks(Prompt.mmMessage, Text);
    QTest::keyClick(Prompt.mmMessage, Qt::Key_Return, Qt::ControlModifier);
}

TEST(AwayModes, ModeTableTrayAndReplies) {
    // D: Disable alerts, A: Auto-response; the default message, so no prompt.
    struct Case {
        const char* commands;
        bool autoDisable;
        bool autoResponse, alertsOff;
        int image;
        const char* hint;
        std::string reply;
    };
    const Case cases[] = {
        {"", true, false, false, 0, "Wexlo", "\b00\b"},
        {"D", true, false, true, 1, "Wexlo (Alerts disabled)", "\b10\b"},
        {"A", true, true, true, 1, "Wexlo (Alerts disabled)", "\b11\bAway"},
        {"A", false, true, false, 9, "Wexlo (Auto-response mode)", "\b01\bAway"},
        {"AD", true, true, false, 9, "Wexlo (Auto-response mode)", "\b01\bAway"},
        {"DA", false, true, true, 1, "Wexlo (Alerts disabled)", "\b11\bAway"},
        // Alerts already off stay off when the coupled mode comes on.
        {"DA", true, true, true, 1, "Wexlo (Alerts disabled)", "\b11\bAway"},
        // Switched off, the text stays and goes with the flag 0.
        {"AA", true, false, false, 0, "Wexlo", "\b00\bAway"},
        {"AA", false, false, false, 0, "Wexlo", "\b00\bAway"},
        // Alerts go on again, whoever switched them off.
        {"DAA", true, false, false, 0, "Wexlo", "\b00\bAway"},
        {"DAA", false, false, true, 1, "Wexlo (Alerts disabled)", "\b10\bAway"},
        {"ADA", true, false, false, 0, "Wexlo", "\b00\bAway"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.commands) + (c.autoDisable ? " coupled" : " uncoupled"));
        MainHarness h;
        h.settings["Show splash window"] = Dword(0);
        h.settings["Auto-disable alerts"] = Dword(c.autoDisable);
        h.settings["Ask for response message"] = Dword(0);
        h.settings["Use default response"] = Dword(1);
        h.settings["Response message"] = Quoted("Away");
        TfMain& form = h.Start();
        for (const char* command = c.commands; *command; ++command)
            (*command == 'D' ? form.mnDisableAlerts : form.mnAutoResponse)->trigger();

        EXPECT_EQ(form.mnAutoResponse->isChecked(), c.autoResponse);
        EXPECT_EQ(form.mnDisableAlerts->isChecked(), c.alertsOff);
        EXPECT_EQ(form.mnChangeResponse->isEnabled(), c.autoResponse);
        EXPECT_EQ(ShownTrayImage(form), c.image);
        EXPECT_EQ(ShownTrayHint(form), c.hint);
        EXPECT_EQ(Reply(h.port), c.reply);
    }
}

TEST(AwayModes, PromptWaitsWhileMessagesAreAnsweredAndNeverNests) {
    MainHarness h;
    h.settings["Show splash window"] = Dword(0);
    TfMain& form = h.Start();
    form.FResponseMessage = "Earlier";

    // Each attempt to open another prompt while one waits changes nothing.
    const auto tryToNest = [&](TfAutoResponse& prompt) {
        const bool on = form.mnAutoResponse->isChecked();
        form.mnAutoResponse->trigger();
        form.mnChangeResponse->trigger();
        EXPECT_EQ(form.AwayModes().Prompt(), &prompt);
        EXPECT_EQ(CountWindows<TfAutoResponse>(), 1);
        EXPECT_EQ(form.mnAutoResponse->isChecked(), on);
    };
    std::string replyWhileWaiting;
    WhilePromptWaits([&](TfAutoResponse& prompt) {
        EXPECT_EQ(prompt.mmMessage->textCursor().selectedText(), "I'll be absent for five minutes");
        // The mode is still off, with the text in force before.
        replyWhileWaiting = Reply(h.port);
        EXPECT_FALSE(form.mnAutoResponse->isChecked());
        tryToNest(prompt);
        Answer(prompt, "Back at three");
    });
    form.mnAutoResponse->trigger();
    EXPECT_EQ(replyWhileWaiting, "\b00\bEarlier");
    EXPECT_EQ(form.FResponseMessage, "Back at three");
    EXPECT_TRUE(form.mnAutoResponse->isChecked() && form.mnDisableAlerts->isChecked());
    EXPECT_TRUE(form.mnChangeResponse->isEnabled());
    EXPECT_EQ(form.AwayModes().Prompt(), nullptr);
    EXPECT_EQ(CountWindows<TfAutoResponse>(), 0);

    // Change response starts from the text in force; an empty answer is taken.
    WhilePromptWaits([&](TfAutoResponse& prompt) {
        EXPECT_EQ(prompt.mmMessage->toPlainText(), "Back at three");
        EXPECT_EQ(Reply(h.port), "\b11\bBack at three");
        tryToNest(prompt);
        Answer(prompt, "");
    });
    form.mnChangeResponse->trigger();
    EXPECT_EQ(form.FResponseMessage, "");
    EXPECT_TRUE(form.mnAutoResponse->isChecked() && form.mnDisableAlerts->isChecked());
    EXPECT_EQ(Reply(h.port), "\b11\b");
}

TEST(AwayModes, ExitDuringThePromptEndsTheProgramOnceItIsAnswered) {
    MainHarness h;
    h.settings["Show splash window"] = Dword(0);
    TfMain& form = h.Start();

    bool quit = false;
    const auto spy = QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    bool waitingAfterExit = false, onWhenDone = false;
    QTimer::singleShot(0, &form, [&] {
        WhilePromptWaits([&](TfAutoResponse& prompt) {
            form.mnExit->trigger();
            QTimer::singleShot(0, &prompt, [&] {
                waitingAfterExit = form.AwayModes().Prompt() == &prompt && !quit;
                Answer(prompt, "Gone home");
            });
        });
        form.mnAutoResponse->trigger();
        onWhenDone = form.mnAutoResponse->isChecked() && !quit;
    });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "the answer did not end the program";
    QObject::disconnect(spy);

    EXPECT_TRUE(waitingAfterExit);
    EXPECT_TRUE(onWhenDone);
    EXPECT_EQ(form.FResponseMessage, "Gone home");
}

TEST(AwayModes, ExitDuringTheStartUpPromptEndsTheProgramThoughTheSplashFollows) {
    // The prompt waits before the main loop runs; the splash comes after it.
    MainHarness h;
    h.settings["Enable auto-reponse on start"] = Dword(1);
    WhilePromptWaits([&](TfAutoResponse& prompt) {
        fMain->mnExit->trigger();
        Answer(prompt, "Gone home");
    });
    TfMain& form = h.Start();
    ASSERT_EQ(CountWindows<TfSplash>(), 1);
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    EXPECT_EQ(form.RunLoop(), 0) << "the Exit was forgotten";
    EXPECT_TRUE(form.mnAutoResponse->isChecked());
}

TEST(AwayModes, EndingThePromptFromOutsideFinishesTheCommandWithTheTextAsItStands) {
    // What a signal or the end of the session does.
    MainHarness h;
    h.settings["Show splash window"] = Dword(0);
    TfMain& form = h.Start();
    WhilePromptWaits([&](TfAutoResponse& prompt) {
        QTest::keyClicks(prompt.mmMessage, "Half typ");
        form.AwayModes().EndPrompt();
    });
    form.mnAutoResponse->trigger();
    EXPECT_EQ(form.FResponseMessage, "Half typ");
    EXPECT_TRUE(form.mnAutoResponse->isChecked());
}

TEST(AwayModes, AutoResponseAtStart) {
    {
        SCOPED_TRACE("default message: no prompt");
        MainHarness h;
        h.settings["Enable auto-reponse on start"] = Dword(1);
        h.settings["Ask for response message"] = Dword(0);
        h.settings["Use default response"] = Dword(1);
        h.settings["Response message"] = Quoted("Out for lunch");
        bool prompted = false;
        QTimer::singleShot(0, [&] {
            if (TfAutoResponse* p = fMain ? fMain->AwayModes().Prompt() : nullptr) {
                prompted = true;
                p->EndWait();
            }
        });
        TfMain& form = h.Start();
        EXPECT_FALSE(prompted);
        EXPECT_TRUE(form.mnAutoResponse->isChecked() && form.mnDisableAlerts->isChecked());
        EXPECT_EQ(Reply(h.port), "\b11\bOut for lunch");
    }
    {
        SCOPED_TRACE("asked: the prompt comes before the splash");
        MainHarness h;
        h.settings["Enable auto-reponse on start"] = Dword(1);
        h.settings["Auto-disable alerts"] = Dword(0);
        WhilePromptWaits([&](TfAutoResponse& prompt) {
            EXPECT_EQ(CountWindows<TfSplash>(), 0);
            EXPECT_EQ(Reply(h.port), "\b00\b");
            Answer(prompt, "Gone fishing");
        });
        TfMain& form = h.Start();
        EXPECT_EQ(CountWindows<TfSplash>(), 1);
        EXPECT_EQ(ShownTrayImage(form), tiAutoResponse);
        EXPECT_EQ(Reply(h.port), "\b01\bGone fishing");
    }
}

}  // namespace
