// The main form's records (received messages, session log, saved-messages
// file and its recovery journal), its message windows, Exit, and its options
// as they come from the store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "store/ReceivedJournal.h"
#include "store/TimeStamp.h"
#include "tests/app/MainTestSupport.h"
#include "tests/store/StoreTestSupport.h"
#include "ui/NumberEdit.h"

namespace {

using namespace maintest;
using namespace std::string_literals;
namespace fs = std::filesystem;

TStringList Entry(const std::string& Text) {
    return {"From localhost (127.0.0.1) at " + TimeStamp(When), Separator, Text + "\r\n\r\n\r\n"};
}

void Receive(MainHarness& h, const std::string& Text) {
    Deliver(h.port, Request(Text));
}

const testsupport::RecordingMessageBox::Box& LastBox(MainHarness& h) {
    static const testsupport::RecordingMessageBox::Box none{};
    return h.boxes.boxes.empty() ? none : h.boxes.boxes.back();
}

TfShowMessage* OnlyWindowTitled(const std::string& Caption) {
    const auto found = WindowsTitled(Caption);
    return found.size() == 1 ? found[0] : nullptr;
}

TEST(MainLogs, ShowReceivedMessagesResetsTheUnreadCount) {
    MainHarness h;
    h.settings["Show alert on message"] = Dword(0);
    TfMain& form = h.Start();
    ScopedClock clock(When);
    for (const char* text : {"one", "two", "three"}) Receive(h, text);
    ASSERT_EQ(form.FUnreadCount, 3);

    // Deleting the records leaves the count; showing nothing resets nothing.
    h.boxes.SetNextAnswers({TMsgResult::Yes});
    form.btnDeleteReceivedMessages->click();
    EXPECT_TRUE(form.FReceivedMessages.empty());
    EXPECT_EQ(form.FUnreadCount, 3);
    EXPECT_EQ(ShownTrayHint(form), "3 unread message(s)");
    form.mnShowReceivedMessages->trigger();
    EXPECT_EQ(LastBox(h).text, "No messages has been received.");
    EXPECT_EQ(LastBox(h).caption, "Wexlo - Messages sending utility");
    EXPECT_EQ(LastBox(h).icon, TMsgIcon::Information);
    EXPECT_EQ(form.FUnreadCount, 3);
    EXPECT_EQ(OnlyWindowTitled("Wexlo  -  Received messages"), nullptr);

    Receive(h, "four\r\n<b>x</b>");
    form.mnShowReceivedMessages->trigger();
    TfShowMessage* viewer = OnlyWindowTitled("Wexlo  -  Received messages");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->redMessage->Content(), TextOf(Entry("four\r\n<b>x</b>")));
    EXPECT_TRUE(viewer->btnSave->isVisible());
    EXPECT_TRUE(form.FMessageWindows.empty()) << "a viewer is not an alert";
    EXPECT_EQ(form.FUnreadCount, 0);
    EXPECT_EQ(ShownTrayImage(form), tiAlertsDisabled);
    EXPECT_EQ(ShownTrayHint(form), "Wexlo (Alerts disabled)");

    // The viewer holds a copy: later messages do not show up in it.
    Receive(h, "five");
    EXPECT_EQ(viewer->redMessage->Content(), TextOf(Entry("four\r\n<b>x</b>")));
}

TEST(MainLogs, SessionLogViewerStartsWithTheStartEntry) {
    ScopedClock clock(When);
    MainHarness h;
    TfMain& form = h.Start();
    ASSERT_EQ(form.FSessionLog, (TStringList{"Wexlo started at " + TimeStamp(When) + "\r\n\r\n"}));
    form.mnShowSessionLog->trigger();
    TfShowMessage* viewer = OnlyWindowTitled("Wexlo  -  Session log");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->redMessage->Content(),
              "Wexlo started at " + TimeStamp(When) + "\r\n\r\n\r\n");
    EXPECT_TRUE(h.boxes.boxes.empty());
}

TEST(MainLogs, DeleteCommandsAskFirst) {
    struct Case {
        const char* name;
        bool received;  // else saved
        TMsgResult answer;
        bool fileThere;
        bool deleted;
    };
    const Case cases[] = {
        {"received, No", true, TMsgResult::No, true, false},
        {"received, Yes", true, TMsgResult::Yes, true, true},
        {"saved, No", false, TMsgResult::No, true, false},
        {"saved, Yes", false, TMsgResult::Yes, true, true},
        {"saved, Yes, no file", false, TMsgResult::Yes, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MainHarness h;
        TfMain& form = h.Start();
        Receive(h, "kept?");
        if (c.fileThere) testsupport::WriteFile(h.SavedPath(), "old\r\n");
        const TStringList received = form.FReceivedMessages;

        h.boxes.SetNextAnswers({c.answer});
        (c.received ? form.btnDeleteReceivedMessages : form.btnDeleteSavedMessages)->click();

        ASSERT_EQ(h.boxes.boxes.size(), 1u) << "only the question";
        const auto& box = h.boxes.boxes[0];
        EXPECT_EQ(box.text, c.received ? "Do you want to delete all the received messages?\r"
                                         "(Saved messages will be preserved)"
                                       : "Do you want to delete the saved messages?\r"
                                         "(Received messages will be preserved)");
        EXPECT_EQ(box.caption, "Confirmation");
        EXPECT_EQ(box.icon, TMsgIcon::Question);
        EXPECT_EQ(box.buttons, TMsgButtons::YesNo);
        // Each command touches its own record only.
        EXPECT_EQ(form.FReceivedMessages.empty(), c.received && c.deleted);
        if (!c.received) {
            EXPECT_EQ(form.FReceivedMessages, received);
        }
        EXPECT_EQ(fs::exists(h.SavedPath()), c.fileThere && (c.received || !c.deleted));

        form.mnShowSavedMessages->trigger();
        if (fs::exists(h.SavedPath())) {
            TfShowMessage* viewer = OnlyWindowTitled("Wexlo  -  Saved messages");
            ASSERT_NE(viewer, nullptr);
            EXPECT_EQ(viewer->redMessage->Content(), "old\r\n");
            delete viewer;
        } else {
            EXPECT_EQ(LastBox(h).text, "There aren't saved messages.");
            EXPECT_EQ(LastBox(h).caption, "Wexlo - Messages sending utility");
            EXPECT_EQ(LastBox(h).icon, TMsgIcon::Information);
        }
    }
}

TEST(MainLogs, SaveAtExitAppendsEachRunBesideTheExecutable) {
    ScopedClock clock(When);
    MainHarness h;
    h.settings["Save messages on exit"] = Dword(1);
    std::string expected;
    for (const char* text : {"first run", "second run", "third run"}) {
        SCOPED_TRACE(text);
        h.Start();
        Receive(h, text);
        h.Stop();
        expected += TextOf(Entry(text));
        EXPECT_EQ(testsupport::ReadFile(h.SavedPath()), expected);
        EXPECT_FALSE(fs::exists(h.services.JournalPath));
    }

    // Saving off, or the records deleted: nothing more goes to the file.
    h.settings["Save messages on exit"] = Dword(0);
    h.Start();
    Receive(h, "not saved");
    h.Stop();
    h.settings["Save messages on exit"] = Dword(1);
    h.Start();
    Receive(h, "deleted");
    h.boxes.SetNextAnswers({TMsgResult::Yes});
    h->btnDeleteReceivedMessages->click();
    h.Stop();
    EXPECT_EQ(testsupport::ReadFile(h.SavedPath()), expected);
    EXPECT_FALSE(fs::exists(h.services.JournalPath));
    EXPECT_TRUE(h.boxes.boxes.size() == 1) << "only the delete question";
}

TEST(MainLogs, ExistingSavedFileKeepsEveryByte) {
    ScopedClock clock(When);
    struct Case {
        const char* name;
        std::string old;
        std::string between;  // what starts the new text on a line of its own
    };
    const Case cases[] = {
        {"NUL bytes and lone line ends", "a\0b\nlone LF\rlone CR\r\n\0\n"s, ""},
        {"no final line break", "tail\0"s, "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MainHarness h;
        h.settings["Save messages on exit"] = Dword(1);
        testsupport::WriteFile(h.SavedPath(), c.old);
        h.Start();
        Receive(h, "new\0text"s);
        h.Stop();
        EXPECT_EQ(testsupport::ReadFile(h.SavedPath()),
                  c.old + c.between + TextOf(Entry("new\0text"s)));
    }
}

TEST(MainLogs, JournalKeepsWhatACrashWouldLoseAndTheNextStartSavesIt) {
    ScopedClock clock(When);
    MainHarness h;
    h.settings["Save messages on exit"] = Dword(1);
    // A run that died left one entry behind.
    fs::create_directories(fs::path(h.services.JournalPath).parent_path());
    testsupport::WriteFile(h.services.JournalPath,
                           journal::Header(1) + journal::Record(1, Entry("from the dead run")));
    testsupport::WriteFile(h.SavedPath(), "earlier\r\n");

    TfMain& form = h.Start();
    EXPECT_EQ(testsupport::ReadFile(h.SavedPath()),
              "earlier\r\n" + TextOf(Entry("from the dead run")));
    EXPECT_TRUE(h.boxes.boxes.empty());

    // While running, each entry is on disk as it arrives.
    Receive(h, "live");
    EXPECT_EQ(journal::Parse(testsupport::ReadFile(h.services.JournalPath)).Items, Entry("live"));
    // Switching saving off takes this run's entries back out.
    form.cbSaveMessages->setChecked(false);
    EXPECT_TRUE(journal::Parse(testsupport::ReadFile(h.services.JournalPath)).Items.empty());
    form.cbSaveMessages->setChecked(true);
    EXPECT_EQ(journal::Parse(testsupport::ReadFile(h.services.JournalPath)).Items, Entry("live"));

    h.Stop();
    EXPECT_EQ(testsupport::ReadFile(h.SavedPath()),
              "earlier\r\n" + TextOf(Entry("from the dead run")) + TextOf(Entry("live")));
    EXPECT_FALSE(fs::exists(h.services.JournalPath));
}

TEST(MainLogs, AJournalThatCannotBeWrittenIsToldOnceAndMadeWholeAgain) {
    ScopedClock clock(When);
    MainHarness h;
    h.settings["Save messages on exit"] = Dword(1);
    storetest::FileFaults faults;
    TfMain& form = h.Start();
    const auto journaled = [&] {
        return journal::Parse(testsupport::ReadFile(h.services.JournalPath)).Items;
    };
    Receive(h, "one");

    storetest::FileFaults::writeError = ENOSPC;  // the disk is full
    Receive(h, "two");
    Receive(h, "three");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !h.boxes.boxes.empty(); }));
    Receive(h, "four");
    QCoreApplication::processEvents();
    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(LastBox(h).caption, "Wexlo - Error");
    EXPECT_EQ(LastBox(h).icon, TMsgIcon::Error);
    EXPECT_NE(LastBox(h).text.find(h.services.JournalPath), std::string::npos) << LastBox(h).text;

    storetest::FileFaults::Clear();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return journaled() == form.FReceivedMessages; }));
    EXPECT_EQ(form.FReceivedMessages.size(), 4 * Entry("").size());
    h.Stop();
    EXPECT_EQ(testsupport::ReadFile(h.SavedPath()), TextOf(Entry("one")) + TextOf(Entry("two")) +
                                                        TextOf(Entry("three")) +
                                                        TextOf(Entry("four")));
}

TEST(MainLogs, SaveFailureAtExitIsReportedAndTheNextStartSavesTheMessages) {
    ScopedClock clock(When);
    MainHarness h;
    h.settings["Save messages on exit"] = Dword(1);
    fs::create_directories(h.SavedPath());  // in the way: the file cannot be created
    h.Start();
    Receive(h, "keep me");
    h.Stop();
    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(h.boxes.boxes[0].text, "Cannot create file " + h.SavedPath());
    EXPECT_EQ(h.boxes.boxes[0].caption, "Wexlo - Messages sending utility");
    EXPECT_EQ(h.boxes.boxes[0].icon, TMsgIcon::Error);

    fs::remove(h.SavedPath());
    h.Start();
    EXPECT_EQ(testsupport::ReadFile(h.SavedPath()), TextOf(Entry("keep me")));
}

// An installed copy cannot write beside itself: its saved messages live in the
// user's data folder, and every command that reads or deletes them goes there.
TEST(MainLogs, SavedMessagesGoToTheUserDataFolderWhenTheProgramsFolderCannotTakeThem) {
    ScopedClock clock(When);
    MainHarness h;
    const std::string data = h.dir + "/data";
    struct DataHome {
        explicit DataHome(const std::string& Dir) : previous(std::getenv("XDG_DATA_HOME")) {
            setenv("XDG_DATA_HOME", Dir.c_str(), 1);
        }
        ~DataHome() { setenv("XDG_DATA_HOME", previous.c_str(), 1); }
        std::string previous;  // the test process's own: always set
    } dataHome(data);
    h.services.ExecutablePath = h.dir + "/not-there/bin/wexlo";
    h.settings["Save messages on exit"] = Dword(1);
    const std::string saved = data + "/wexlo/Saved messages.txt";

    TfMain& form = h.Start();
    EXPECT_EQ(form.FSavedMessagesFile, saved);
    Receive(h, "kept in the user's folder");
    h.Stop();
    EXPECT_EQ(testsupport::ReadFile(saved), TextOf(Entry("kept in the user's folder")));

    h.Start();
    h->mnShowSavedMessages->trigger();
    TfShowMessage* viewer = OnlyWindowTitled("Wexlo  -  Saved messages");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->redMessage->Content(), TextOf(Entry("kept in the user's folder")));
    delete viewer;
    h.boxes.SetNextAnswers({TMsgResult::Yes});
    h->btnDeleteSavedMessages->click();
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_TRUE(h.boxes.boxes.size() == 1) << "only the delete question";
    h.Stop();
}

// ---- message windows and Exit

TEST(MainWindows, CloseAllClosesTheAlertsAndLeavesTheViewers) {
    MainHarness h;
    TfMain& form = h.Start();
    for (const char* text : {"a", "b", "c"}) Receive(h, text);
    ASSERT_EQ(form.FMessageWindows.size(), 3u);
    std::vector<QPointer<TfShowMessage>> alerts(form.FMessageWindows.begin(),
                                                form.FMessageWindows.end());

    // Closing one by its OK button leaves two registered, in order.
    alerts[1]->btnOK->click();
    ASSERT_TRUE(WaitUntil([&] { return alerts[1].isNull(); }));
    EXPECT_EQ(form.FMessageWindows,
              (std::vector<TfShowMessage*>{alerts[0].data(), alerts[2].data()}));

    form.mnShowReceivedMessages->trigger();
    form.mnShowSessionLog->trigger();
    QPointer<TfShowMessage> received = OnlyWindowTitled("Wexlo  -  Received messages");
    QPointer<TfShowMessage> session = OnlyWindowTitled("Wexlo  -  Session log");
    ASSERT_TRUE(received && session);

    form.mnCloseMessages->trigger();
    EXPECT_TRUE(form.FMessageWindows.empty());
    EXPECT_TRUE(alerts[0].isNull() && alerts[2].isNull());
    ASSERT_TRUE(received && session);
    EXPECT_TRUE(received->isVisible() && session->isVisible());

    // Shutdown takes the rest.
    h.Stop();
    EXPECT_TRUE(received.isNull() && session.isNull());
}

TEST(MainWindows, SplashOnlyWhenSetAboutAnewEachTimeAndShutdownTakesThemAll) {
    const auto windows = [](const char* ClassName) {
        std::vector<QPointer<QWidget>> found;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits(ClassName) && w->isVisible()) found.emplace_back(w);
        return found;
    };
    for (const bool splash : {false, true}) {
        SCOPED_TRACE(splash ? "splash on" : "splash off");
        MainHarness h;
        h.settings["Show splash window"] = Dword(splash);
        TfMain& form = h.Start();
        const auto splashes = windows("TfSplash");
        EXPECT_EQ(splashes.size(), splash ? 1u : 0u);

        form.mnAbout->trigger();
        form.mnAbout->trigger();
        form.mnCloseMessages->trigger();
        const auto abouts = windows("TfAbout");
        EXPECT_EQ(abouts.size(), 2u);

        h.Stop();
        for (const auto& w : splashes) EXPECT_TRUE(w.isNull());
        for (const auto& w : abouts) EXPECT_TRUE(w.isNull());
    }
}

TEST(MainWindows, ExitAsksAboutUnreadMessagesAndNoKeepsRunning) {
    MainHarness h;
    h.settings["Show alert on message"] = Dword(0);
    TfMain& form = h.Start();
    for (const char* text : {"a", "b", "c"}) Receive(h, text);

    // Exit asks the event loop to end, so the check runs inside one.
    bool quit = false;
    const auto spy = QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    bool stillRunningAfterNo = false;
    QTimer::singleShot(0, &form, [&] {
        h.boxes.SetNextAnswers({TMsgResult::No});
        form.mnExit->trigger();
        QTimer::singleShot(0, &form, [&] {
            stillRunningAfterNo = !quit;
            h.boxes.SetNextAnswers({TMsgResult::Yes});
            form.mnExit->trigger();
        });
    });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(30000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "Yes did not end the event loop";
    QObject::disconnect(spy);

    EXPECT_TRUE(stillRunningAfterNo);
    EXPECT_TRUE(quit);
    ASSERT_EQ(h.boxes.boxes.size(), 2u);
    for (const auto& box : h.boxes.boxes) {
        EXPECT_EQ(box.text, "There is 3 new message(s) unreaded. Do you want to quit anyway?");
        EXPECT_EQ(box.caption, "Wexlo - Messages sending utility");
        EXPECT_EQ(box.icon, TMsgIcon::Warning);
        EXPECT_EQ(box.buttons, TMsgButtons::YesNo);
    }
    EXPECT_EQ(form.FUnreadCount, 3);
}

// ---- options as the main form loads them

TEST(MainSettings, FirstRunDefaults) {
    MainHarness h;
    // The default port is made busy, so this test never takes it from anyone
    // else; it then also shows how a busy port at start is reported.
    std::unique_ptr<RawListener> holder;
    try {
        holder = std::make_unique<RawListener>("0.0.0.0", 13769);
    } catch (const std::exception&) {
        // Busy already.
    }
    TfMain& form = h.StartAsIs();

    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(h.boxes.boxes[0].text,
              "Unexpected socket error:\rWinsock: Port or address already in use.");
    EXPECT_EQ(h.boxes.boxes[0].caption, "Wexlo - Error");
    // The rest of the start-up is skipped, the program stays.
    EXPECT_TRUE(form.FSessionLog.empty());
    EXPECT_EQ(ShownTrayHint(form), "Wexlo");
    EXPECT_FALSE(form.ServerSocket->Active());

    struct Check {
        QAbstractButton* control;
        bool checked;
    };
    const Check checks[] = {
        {form.cbAlertOnMessage, true},      {form.cbAlertsOnTop, true},
        {form.cbBeepOnMessage, true},       {form.rbDefaultSound, false},
        {form.rbCustomSound, true},         {form.cbShowSplash, true},
        {form.cbStartWithWindows, true},    {form.cbSaveMessages, false},
        {form.cbEnableAutoResponse, false}, {form.cbAutoDisableAlerts, true},
        {form.rbAskForResponse, true},      {form.rbUseDefaultResponse, false},
    };
    for (const Check& c : checks) {
        EXPECT_EQ(c.control->isChecked(), c.checked) << c.control->objectName().toStdString();
        EXPECT_TRUE(c.control->isEnabled()) << c.control->objectName().toStdString();
    }
    std::string sound = h.dir + "/bin/message.wav";
    for (char& ch : sound) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(form.edCustomSound->text().toStdString(), sound);
    EXPECT_EQ(form.mmResponseMessage->toPlainText().toStdString(),
              "I'll be absent for five minutes");
    EXPECT_EQ(form.edPort->text().toStdString(), "13769");
    EXPECT_EQ(form.edTalkPort->text().toStdString(), "13770");
    EXPECT_EQ(form.MessagePort(), 13769);
    EXPECT_EQ(form.ClientSocket->Port(), 13769);
    EXPECT_EQ(form.FTalkPort, 13770);
    EXPECT_TRUE(form.FRecentHosts.empty());

    // The exit stores them.
    h.Stop();
    const std::string stored = testsupport::ReadFile(h.services.SettingsPath);
    for (const char* line :
         {"\"Port\"=dword:000035c9\n", "\"Talk Port\"=dword:000035ca\n", "\"Recent hosts\"=\"\"\n",
          "\"Save messages on exit\"=dword:00000000\n"})
        EXPECT_NE(stored.find(line), std::string::npos) << line;
    EXPECT_NE(stored.find("\"Sound file\"=\"" + sound + "\"\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(h.services.AutostartPath));
}

TEST(MainSettings, OptionControlsFollowTheirEnablingRules) {
    MainHarness h;
    h.settings["Show alert on message"] = Dword(0);
    h.settings["Play sound"] = Dword(0);
    TfMain& form = h.Start();
    QWidget* soundControls[] = {form.rbDefaultSound, form.rbCustomSound, form.edCustomSound,
                                form.btnSelectSound, form.btnPlay};

    EXPECT_FALSE(form.cbAlertsOnTop->isEnabled());
    for (QWidget* w : soundControls) EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(ShownTrayImage(form), tiAlertsDisabled);
    EXPECT_EQ(ShownTrayHint(form), "Wexlo (Alerts disabled)");

    form.cbAlertOnMessage->click();
    form.cbBeepOnMessage->click();
    EXPECT_TRUE(form.cbAlertsOnTop->isEnabled());
    for (QWidget* w : soundControls) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();

    // Auto-response at start goes with the default response.
    ASSERT_TRUE(form.rbAskForResponse->isChecked());
    form.cbEnableAutoResponse->click();
    EXPECT_TRUE(form.rbUseDefaultResponse->isChecked());
    EXPECT_FALSE(form.rbAskForResponse->isChecked());

    // Cancel brings back what is stored, rules included.
    form.btnCancel->click();
    EXPECT_FALSE(form.cbAlertOnMessage->isChecked());
    EXPECT_FALSE(form.cbAlertsOnTop->isEnabled());
    EXPECT_FALSE(form.edCustomSound->isEnabled());
    EXPECT_TRUE(form.ServerSocket->Active());
}

TEST(MainSettings, EveryStoredSwitchReachesTheControlItsRowNames) {
    MainHarness h;
    for (const TSettingDef& def : SettingsTable)
        if (def.Type == TSettingType::Bool)
            h.settings[std::string(def.Name)] = Dword(!def.DefaultBool);
    TfMain& form = h.Start();
    for (const TSettingDef& def : SettingsTable) {
        if (def.Type != TSettingType::Bool) continue;
        const auto* control = form.findChild<QAbstractButton*>(
            QString::fromLatin1(def.Control.data(), qsizetype(def.Control.size())));
        ASSERT_NE(control, nullptr) << def.Control;
        EXPECT_EQ(control->isChecked(), !def.DefaultBool) << def.Control;
    }
}

// ---- the options dialog's OK

std::string Stored(MainHarness& h) {
    return testsupport::ReadFile(h.services.SettingsPath);
}

std::string PortLine(int Port) {
    return "\"Port\"=" + Dword(static_cast<unsigned>(Port)) + "\n";
}

TEST(MainOptions, OkWithoutTheDefaultResponseAppliesNothing) {
    MainHarness h;
    TfMain& form = h.Start();
    const std::string stored = Stored(h);
    form.mnOptionsClick();
    form.rbUseDefaultResponse->click();
    form.mmResponseMessage->clear();
    form.edPort->setText(QString::number(testsupport::FreeTcpPort()));
    form.btnOK->click();

    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(LastBox(h).text, "Please write a response message");
    EXPECT_EQ(LastBox(h).caption, "Response not specified");
    EXPECT_EQ(LastBox(h).icon, TMsgIcon::Warning);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.MessagePort(), h.port);
    EXPECT_TRUE(form.ServerSocket->Active());
    EXPECT_EQ(Stored(h), stored);

    // A line break alone is a message.
    form.mmResponseMessage->setPlainText("\n");
    form.edPort->setText(QString::number(h.port));
    form.btnOK->click();
    EXPECT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_FALSE(form.isVisible());
    EXPECT_NE(Stored(h).find("\"Use default response\"=dword:00000001\n"
                             "\"Response message\"=\"\\r\\n\"\n"),
              std::string::npos)
        << Stored(h);
}

TEST(MainOptions, OkListensOnTheNewPortOnlyAndStoresIt) {
    MainHarness h;
    TfMain& form = h.Start();
    const int next = testsupport::FreeTcpPort();
    form.mnOptionsClick();
    form.edPort->setText(QString::number(next));
    form.edTalkPort->setText("4242");
    form.btnOK->click();

    EXPECT_TRUE(h.boxes.boxes.empty());
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.MessagePort(), next);
    EXPECT_EQ(form.ClientSocket->Port(), next);
    EXPECT_EQ(form.FTalkPort, 4242);
    EXPECT_NE(Stored(h).find(PortLine(next) + "\"Talk Port\"=" + Dword(4242) + "\n"),
              std::string::npos);
    const auto sent = RunSendTool(next, {"on the new port"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_NE(TextOf(form.FReceivedMessages).find("on the new port"), std::string::npos);
    EXPECT_EQ(RunSendTool(h.port, {"on the old port"}).exitCode, 4);  // refused
}

TEST(MainOptions, EmptyPortBoxesKeepThePortsInForce) {
    MainHarness h;
    TfMain& form = h.Start();
    form.mnOptionsClick();
    form.edPort->clear();
    form.edTalkPort->clear();
    form.btnOK->click();

    EXPECT_TRUE(h.boxes.boxes.empty());
    EXPECT_EQ(form.MessagePort(), h.port);
    EXPECT_EQ(form.FTalkPort, 13770);
    EXPECT_NE(Stored(h).find(PortLine(h.port) + "\"Talk Port\"=" + Dword(13770) + "\n"),
              std::string::npos);
    EXPECT_EQ(RunSendTool(h.port, {"still here"}).exitCode, 0);
    // The boxes stay as they were left.
    form.mnOptionsClick();
    EXPECT_EQ(form.edPort->text(), "");
    EXPECT_EQ(form.edTalkPort->text(), "");
}

TEST(MainOptions, PortInUseLeavesTheDialogOpenAndTheSettingsStored) {
    MainHarness h;
    TfMain& form = h.Start();
    RawListener busy("0.0.0.0");
    form.mnOptionsClick();
    form.edPort->setText(QString::number(busy.port));
    form.btnOK->click();

    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(LastBox(h).text,
              "Unexpected socket error:\rWinsock: Port or address already in use.");
    EXPECT_EQ(LastBox(h).caption, "Wexlo - Error");
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.ServerSocket->Active());
    EXPECT_NE(Stored(h).find(PortLine(busy.port)), std::string::npos);

    // A port that is free: listening again, and the dialog goes.
    form.edPort->setText(QString::number(h.port));
    form.btnOK->click();
    EXPECT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(RunSendTool(h.port, {"back"}).exitCode, 0);
}

TEST(MainOptions, StoredPortTheProgramCannotUseIsReportedAndKeptWhole) {
    for (const int port : {0, 100000}) {
        SCOPED_TRACE(port);
        MainHarness h;
        h.settings["Port"] = Dword(static_cast<unsigned>(port));
        TfMain& form = h.Start();
        ASSERT_EQ(h.boxes.boxes.size(), 1u);
        EXPECT_EQ(LastBox(h).text.rfind("Unexpected socket error:\r", 0), 0u) << LastBox(h).text;
        EXPECT_FALSE(form.ServerSocket->Active());
        EXPECT_EQ(form.edPort->text(), QString::number(port));

        // OK without touching the box keeps the port as stored.
        form.mnOptionsClick();
        form.btnOK->click();
        EXPECT_EQ(h.boxes.boxes.size(), 2u);
        EXPECT_TRUE(form.isVisible());
        EXPECT_FALSE(form.ServerSocket->Active());
        EXPECT_EQ(form.MessagePort(), port);
        h.Stop();
        EXPECT_NE(Stored(h).find(PortLine(port)), std::string::npos);
    }
}

TEST(MainLogs, PastTheMemoryBudgetsTextsWaitOnDiskAndFurtherAlertsAreCounted) {
    MainHarness h;
    h.services.ReceivedBudget = 4096;
    h.services.SpillPath = h.dir + "/cache/received.spill";
    h.services.AlertBudget = 500000;
    h.settings["Save messages on exit"] = Dword(1);
    TfMain& form = h.Start();
    ScopedClock clock(When);

    // A megabyte of line breaks costs its window about its size.
    const std::string breaks(1 << 20, '\r');
    Receive(h, breaks);
    ASSERT_EQ(form.FMessageWindows.size(), 1u);
    EXPECT_LT(form.FMessageWindows[0]->redMessage->MemoryCost(), 2u << 20);
    form.mnCloseMessages->trigger();

    TStringList expected = Entry(breaks);
    std::string lines;
    while (lines.size() < 200000) lines += "line " + std::to_string(lines.size()) + "\r\n";
    for (char i = 'a'; i < 'g'; ++i) Receive(h, i + lines), Append(expected, Entry(i + lines));
    // Three windows reach the budget; the rest are counted as the cap's are.
    EXPECT_EQ(form.FMessageWindows.size(), 3u);
    EXPECT_EQ(form.FUnreadCount, 3);
    EXPECT_LE(form.FReceivedMessages.MemoryBytes(), 4096u);
    EXPECT_TRUE(fs::exists(h.services.SpillPath));

    form.mnShowReceivedMessages->trigger();
    TfShowMessage* viewer = OnlyWindowTitled("Wexlo  -  Received messages");
    ASSERT_NE(viewer, nullptr);
    std::string shown;  // every line ended by CR LF
    for (const std::string& line : SplitLines(TextOf(expected))) shown += line + "\r\n";
    EXPECT_TRUE(viewer->redMessage->Content() == shown);

    h.Stop();
    EXPECT_TRUE(testsupport::ReadFile(h.SavedPath()) == TextOf(expected));
    EXPECT_FALSE(fs::exists(h.services.SpillPath)) << "removed at a clean exit";
}

}  // namespace

// A Latin-1 sound file name and an away text with a control byte in the
// settings file; returns the two.
static std::pair<std::string, std::string> StoreTextsTheScreenCannotShow(MainHarness& h) {
    const std::string sound = h.dir + "/bin/m\xe9ssage.wav";
    const std::string response = "Back\x01 at two\r\nSee \xa0you";
    h.settings["Sound file"] = Quoted(sound);
    h.settings["Response message"] = Quoted(response);
    return {sound, response};
}

// What the screen cannot show as it is goes back to the store unchanged while
// the user leaves it alone; an edited text is stored as typed.
TEST(MainSettings, StoredTextsSurviveASaveByteForByte) {
    MainHarness h;
    const auto [sound, response] = StoreTextsTheScreenCannotShow(h);
    TfMain& form = h.Start();
    EXPECT_EQ(form.GetText(TSettingId::SoundFile), sound);
    EXPECT_EQ(form.GetText(TSettingId::ResponseMessage), response);
    h.sound.played.clear();
    form.btnPlayClick();
    EXPECT_EQ(h.sound.played, std::vector<std::string>{sound});

    h.Stop();
    const std::string stored = testsupport::ReadFile(h.services.SettingsPath);
    EXPECT_NE(stored.find("\"Sound file\"=" + Quoted(sound)), std::string::npos) << stored;

    TfMain& again = h.StartAsIs();
    EXPECT_EQ(again.GetText(TSettingId::ResponseMessage), response);
    again.mmResponseMessage->setPlainText("Gone fishing\nback soon");
    EXPECT_EQ(again.GetText(TSettingId::ResponseMessage), "Gone fishing\r\nback soon");
}

// The dialog's text controls are made when it is first opened, after the
// texts were loaded; what they show then still stands for the stored bytes.
TEST(MainSettings, StoredTextsSurviveTheFirstOpeningOfTheDialog) {
    MainHarness h;
    const auto [sound, response] = StoreTextsTheScreenCannotShow(h);
    TfMain& form = h.Start();
    // Making them loads the fonts: nothing at start may need them.
    EXPECT_EQ(form.mmResponseMessage.IfMade(), nullptr);
    EXPECT_EQ(form.edPort.IfMade(), nullptr);

    form.mnOptionsClick();
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(form.edPort->text(), QString::number(h.port));
    EXPECT_FALSE(form.mmResponseMessage->toPlainText().isEmpty());
    EXPECT_EQ(form.GetText(TSettingId::SoundFile), sound);
    EXPECT_EQ(form.GetText(TSettingId::ResponseMessage), response);
    form.btnOK->click();
    EXPECT_FALSE(form.isVisible());
    const std::string stored = Stored(h);
    EXPECT_NE(stored.find("\"Sound file\"=" + Quoted(sound)), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"Response message\"=" + Quoted(response)), std::string::npos) << stored;
}
