// The auto-response prompt: what it shows, the ways it ends, and the text it
// gives back.
#include <gtest/gtest.h>

#include <functional>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "tests/support/TestSupport.h"
#include "ui/AutoResponse.h"

namespace {

// Asks with Initial and runs Act while the prompt waits. A prompt Act leaves
// waiting is ended, and the test fails, rather than hanging.
std::string Ask(TfAutoResponse& Prompt, const std::string& Initial,
                const std::function<void(TfAutoResponse&)>& Act) {
    QTimer::singleShot(0, &Prompt, [&] {
        Act(Prompt);
        QTimer::singleShot(0, &Prompt, [&] {
            if (Prompt.Waiting() && !Prompt.Answered()) {
                ADD_FAILURE() << "the prompt is still waiting";
                Prompt.EndWait();
            }
        });
    });
    return Prompt.AskResponse(Initial);
}

void CtrlEnter(TfAutoResponse& Prompt) {
    QTest::keyClick(Prompt.mmMessage, Qt::Key_Return, Qt::ControlModifier);
}

TEST(AutoResponse, ShowsTheInitialTextSelectedInACaptionedWindowWithoutCloseBox) {
    TfAutoResponse prompt;
    Ask(prompt, "I'll be absent\r\nfor five minutes", [](TfAutoResponse& p) {
        EXPECT_TRUE(p.isVisible() && !p.isModal());
        EXPECT_EQ(p.windowTitle(), "Wexlo");
        EXPECT_FALSE(
            p.windowFlags().testAnyFlags(Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint));
        EXPECT_EQ(p.mmMessage->textCursor().selectedText(),
                  QString("I'll be absent") + QChar::ParagraphSeparator + "for five minutes");
        EXPECT_EQ(p.focusWidget(), p.mmMessage);
        CtrlEnter(p);
    });
}

TEST(AutoResponse, EndsOnlyByOkAndGivesTheTextAsItStands) {
    struct Case {
        const char* name;
        std::string initial;
        std::function<void(TfAutoResponse&)> act;
        std::string expected;
    };
    const Case cases[] = {
        // Bytes the screen shows differently come back unchanged when untouched.
        {"untouched", "Caf\xE9 \x01 ok\r\nline two\r\n", CtrlEnter,
         "Caf\xE9 \x01 ok\r\nline two\r\n"},
        {"typing replaces; Enter adds a line", "I'll be absent for five minutes",
         [](TfAutoResponse& p) {
             QTest::keyClicks(p.mmMessage, "Back at 3");
             QTest::keyClick(p.mmMessage, Qt::Key_Return);
             QTest::keyClicks(p.mmMessage, "Ask Bob");
             QTest::keyClick(p.mmMessage, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
         },
         "Back at 3\r\nAsk Bob"},
        {"empty text by the button", "Away",
         [](TfAutoResponse& p) {
             QTest::keyClick(p.mmMessage, Qt::Key_Delete);
             QTest::mouseClick(p.btnOK, Qt::LeftButton);
         },
         ""},
        {"Esc and the close request do nothing", "Away",
         [](TfAutoResponse& p) {
             QTest::keyClick(p.mmMessage, Qt::Key_Escape);
             p.close();
             QTimer::singleShot(0, &p, [&p] {
                 EXPECT_TRUE(p.Waiting() && p.isVisible());
                 CtrlEnter(p);
             });
         },
         "Away"},
        {"ended from outside", "Away",
         [](TfAutoResponse& p) {
             QTest::keyClick(p.mmMessage, Qt::Key_End);
             QTest::keyClicks(p.mmMessage, " till noon");
             p.EndWait();
         },
         "Away till noon"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TfAutoResponse prompt;
        EXPECT_EQ(Ask(prompt, c.initial, c.act), c.expected);
        EXPECT_TRUE(prompt.Answered());
        EXPECT_FALSE(prompt.Waiting());
        // It stays open for its creator to release.
        EXPECT_TRUE(prompt.isVisible());
    }
}

}  // namespace
