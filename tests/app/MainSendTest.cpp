// The main form sending messages over real loopback sockets to a receiver the
// test controls, and the send dialog as the main form opens it: the wiring of
// the sending core (tests/messaging) to the form's tray, boxes and dialog.
#include <netdb.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include "ui/SendMessage.h"
#include "net/HostLookup.h"
#include "platform/AvahiDiscovery.h"
#include "platform/WindowStacking.h"
#include "tests/app/MainTestSupport.h"
#include "ui/NumberEdit.h"

namespace {

using namespace maintest;

// A main form whose outgoing messages go to the test's receiver on loopback.
struct SendRig {
    SendRig() : form(h.Start()) { form.ClientSocket->SetPort(rx.port); }

    MainHarness h;
    RawListener rx;
    TfMain& form;
};

TEST(MainSend, RequestBytesSentStateAndTheWayBackToIdle) {
    SendRig r;
    ScopedClock clock(When);
    const std::string text = "Hello\r\n<b>you</b>";
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1", "other"}, text));
    EXPECT_TRUE(r.form.Sender().FSending);
    EXPECT_EQ(ShownTrayHint(r.form), "Connecting to 127.0.0.1...");
    EXPECT_EQ(r.form.Sender().FLastMessage, text);
    EXPECT_EQ(r.form.Sender().FLastHost, "127.0.0.1");
    EXPECT_EQ(r.form.FRecentHosts, (TStringList{"127.0.0.1", "other"}));

    ASSERT_TRUE(r.rx.WaitFor(0, Request(text).size()));
    EXPECT_EQ(r.rx.peers[0].got, Request(text));
    ASSERT_TRUE(WaitUntil([&] { return !r.form.Sender().FSending; }));
    EXPECT_EQ(ShownTrayImage(r.form), tiSent);
    EXPECT_EQ(ShownTrayHint(r.form), "Message send to localhost (127.0.0.1)");
    EXPECT_EQ(Tail(r.form.FSessionLog, 1),
              (TStringList{"Sent message to localhost (127.0.0.1) at " + Stamp(), Separator,
                           text + "\r\n\r\n\r\n"}));
    EXPECT_TRUE(r.form.ClientSocket->Active()) << "the connection waits for the reply";

    r.rx.Reply(0, "\b00\bignored");
    r.rx.Close(0);
    ASSERT_TRUE(WaitUntil([&] { return !r.form.ClientSocket->Active(); }));
    EXPECT_EQ(r.form.FSessionLog.size(), 4u);
    EXPECT_TRUE(r.form.FMessageWindows.empty());
    EXPECT_TRUE(r.h.boxes.boxes.empty());

    // The check mark stays for eight ticks, then the idle state returns.
    for (int tick = 0; tick < TTrayStatus::HoldTag; ++tick) r.form.TrayStatus().Timer().Tick();
    EXPECT_EQ(ShownTrayImage(r.form), tiSent);
    r.form.TrayStatus().Timer().Tick();
    EXPECT_EQ(ShownTrayImage(r.form), tiIdle);
    EXPECT_EQ(ShownTrayHint(r.form), "Wexlo");
    EXPECT_FALSE(r.form.TrayStatus().Timer().Enabled());
}

TEST(MainSend, RefusedConnectionThenResendFillsTheDialog) {
    SendRig r;
    ScopedClock clock(When);
    // Before any send there is nothing to resend.
    r.form.mnResendLastMessage->trigger();
    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text, "There isn't any previous message.");
    EXPECT_EQ(r.h.boxes.boxes[0].caption, "Wexlo - Messages sending utility");
    EXPECT_EQ(r.h.boxes.boxes[0].icon, TMsgIcon::Information);
    EXPECT_EQ(fSendMessage, nullptr);
    r.h.boxes.boxes.clear();

    r.form.ClientSocket->SetPort(testsupport::FreeTcpPort());
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1", "b"}, "lost\r\ntext"));
    ASSERT_TRUE(WaitUntil([&] { return !r.h.boxes.boxes.empty(); }));
    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text, "Error connecting to 127.0.0.1 (111)");
    EXPECT_EQ(r.h.boxes.boxes[0].caption, "Wexlo - Error");
    EXPECT_EQ(r.h.boxes.boxes[0].icon, TMsgIcon::Error);
    EXPECT_EQ(r.form.FSessionLog.back(),
              "Error connecting to 127.0.0.1 (111) at " + Stamp() + "\r\n\r\n");
    EXPECT_FALSE(r.form.Sender().FSending);
    EXPECT_EQ(ShownTrayImage(r.form), tiIdle);
    EXPECT_EQ(ShownTrayHint(r.form), "Wexlo");
    EXPECT_FALSE(r.form.TrayStatus().Timer().Enabled());

    r.form.mnResendLastMessage->trigger();
    ASSERT_NE(fSendMessage, nullptr);
    EXPECT_EQ(fSendMessage->HostText(), "127.0.0.1");
    EXPECT_EQ(fSendMessage->MessageText(), "lost\r\ntext");
    EXPECT_EQ(fSendMessage->Hosts(), (TStringList{"127.0.0.1", "b"}));
    delete fSendMessage;
}

TEST(MainSend, UnresolvableHostGoesThroughTheExceptionHandlerAndLeavesNoRetryBehind) {
    SendRig r;
    ScopedClock clock(When);
    ASSERT_FALSE(r.form.RetryArmed());
    ASSERT_TRUE(r.form.SendMessageTo({"wexlo-test.invalid"}, "x"));
    ASSERT_TRUE(WaitUntil([&] { return !r.h.boxes.boxes.empty(); }));
    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text, "Error connecting to wexlo-test.invalid (-1)");
    EXPECT_EQ(r.h.boxes.boxes[0].caption, "Wexlo - Error");
    EXPECT_EQ(r.form.FSessionLog.back(),
              "Error connecting to wexlo-test.invalid (-1) at " + Stamp() + "\r\n\r\n");
    EXPECT_FALSE(r.form.RetryArmed()) << "the retry signal outlived its failure";
    EXPECT_FALSE(r.form.Sender().FSending);
    EXPECT_EQ(ShownTrayHint(r.form), "Wexlo");

    // A listener that cannot be opened afterwards is reported, not taken for
    // a retry, and the options stay open.
    r.form.mnOptionsClick();
    r.form.edPort->setText("70000");
    r.form.btnOK->click();
    ASSERT_EQ(r.h.boxes.boxes.size(), 2u);
    EXPECT_EQ(r.h.boxes.boxes[1].text, "Unexpected socket error:\rWinsock error 22.");
    EXPECT_FALSE(r.form.ServerSocket->Active());
    EXPECT_TRUE(r.form.isVisible());

    // So is a failed connect call of the next send.
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1"}, "y"));
    ASSERT_TRUE(WaitUntil([&] { return r.h.boxes.boxes.size() > 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !r.form.Sender().FSending; }));
    testsupport::ProcessEventsFor(50);
    ASSERT_EQ(r.h.boxes.boxes.size(), 3u);
    EXPECT_EQ(r.h.boxes.boxes[2].text, "Error connecting to 127.0.0.1 (-1)");
    EXPECT_FALSE(r.form.RetryArmed());
}

TEST(MainSend, SendWhileConnectingIsRefusedAndTheDialogKeepsItsText) {
    SendRig r;
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1"}, "first"));
    const std::string settings = testsupport::ReadFile(r.h.services.SettingsPath);
    ASSERT_TRUE(r.form.Sender().FSending);

    r.form.OpenSendDialog(false);
    ASSERT_NE(fSendMessage, nullptr);
    QPointer<TfSendMessage> dialog(fSendMessage);
    dialog->SetHostText("127.0.0.1");
    dialog->SetMessageText("second\r\nmessage");
    dialog->btnSend->click();

    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text, "Sending a message a now. Please wait a moment and retry.");
    EXPECT_EQ(r.h.boxes.boxes[0].caption, "Wexlo - Messages sending utility");
    EXPECT_EQ(r.h.boxes.boxes[0].icon, TMsgIcon::Warning);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(dialog.isNull()) << "the dialog must stay for the retry";
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->HostText(), "127.0.0.1");
    EXPECT_EQ(dialog->MessageText(), "second\r\nmessage");
    EXPECT_EQ(r.form.Sender().FLastMessage, "first");
    EXPECT_EQ(r.form.FRecentHosts, (TStringList{"127.0.0.1"}));
    EXPECT_EQ(testsupport::ReadFile(r.h.services.SettingsPath), settings);

    // Once the first is through, the same click sends and closes.
    ASSERT_TRUE(r.rx.WaitFor(0, Request("first").size()));
    ASSERT_TRUE(WaitUntil([&] { return !r.form.Sender().FSending; }));
    dialog->btnSend->click();
    ASSERT_TRUE(r.rx.WaitFor(1, Request("second\r\nmessage").size()));
    EXPECT_EQ(r.rx.peers[1].got, Request("second\r\nmessage"));
    EXPECT_TRUE(WaitUntil([&] { return dialog.isNull(); }));
    EXPECT_EQ(fSendMessage, nullptr);
    EXPECT_EQ(r.h.boxes.boxes.size(), 1u);
}

// A listener whose queue is full: connecting to it stays in progress.
struct StuckListener {
    RawListener listener{"127.0.0.1", 0, 0};
    RawClient filler{listener.port};
};

TEST(MainSend, IncomingFailureDuringASendIsNotTakenForTheSend) {
    SendRig r;
    StuckListener stuck;
    r.form.ClientSocket->SetPort(stuck.listener.port);
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1"}, "waits"));
    testsupport::ProcessEventsFor(50);
    ASSERT_TRUE(r.form.Sender().FSending);
    r.form.TrayStatus().Timer().Tick();
    EXPECT_EQ(ShownTrayImage(r.form), tiConnecting1);
    EXPECT_EQ(ShownTrayHint(r.form), "Connecting to 127.0.0.1...");

    // A peer of the receiving side resets before its reply can be written.
    {
        RawClient hostile(r.h.port);
        hostile.Send(Request("gone"));
        hostile.Reset();
    }
    ASSERT_TRUE(WaitUntil([&] { return r.form.FReceivedMessages.size() == 3; }));
    ASSERT_TRUE(WaitUntil([&] { return r.form.ServerSocket->ConnectionCount() == 0; }));
    for (const auto& box : r.h.boxes.boxes)
        EXPECT_EQ(box.text.rfind("Unexpected socket error:\r", 0), 0u) << box.text;
    EXPECT_TRUE(r.form.Sender().FSending) << "the send was ended by someone else's failure";
    EXPECT_EQ(ShownTrayHint(r.form), "Connecting to 127.0.0.1...");
    EXPECT_FALSE(r.form.RetryArmed());
}

TEST(MainSend, ListenerFailureDuringASendIsTheListenersOwn) {
    SendRig r;
    StuckListener stuck;
    RawListener taken("0.0.0.0");
    r.form.ClientSocket->SetPort(stuck.listener.port);
    ASSERT_TRUE(r.form.SendMessageTo({"127.0.0.1"}, "waits"));
    testsupport::ProcessEventsFor(50);
    ASSERT_TRUE(r.form.Sender().FSending);
    const std::size_t logged = r.form.FSessionLog.size();

    // OK moves the listener to a port another program holds.
    r.form.mnOptionsClick();
    r.form.edPort->setText(QString::number(taken.port));
    r.form.btnOK->click();
    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text,
              "Unexpected socket error:\rWinsock: Port or address already in use.");
    EXPECT_TRUE(r.form.Sender().FSending) << "the listener's failure ended the send";
    EXPECT_EQ(ShownTrayHint(r.form), "Connecting to 127.0.0.1...");
    EXPECT_EQ(r.form.FSessionLog.size(), logged);
    EXPECT_TRUE(r.form.isVisible());
    r.form.hide();
}

TEST(MainSend, SendingToItselfGoesAllTheWay) {
    MainHarness h;
    TfMain& form = h.Start();
    ScopedClock clock(When);
    form.mnAutoResponse->setChecked(true);
    form.FResponseMessage = "Out";
    ASSERT_TRUE(form.SendMessageTo({"127.0.0.1"}, "to me"));
    ASSERT_TRUE(WaitUntil([&] { return form.FMessageWindows.size() == 2; }));
    EXPECT_EQ(form.FReceivedMessages,
              (TStringList{"From localhost (127.0.0.1) at " + Stamp(),
                           "(Auto-response message sent)", Separator, "to me\r\n\r\n\r\n"}));
    EXPECT_EQ(Title(form.FMessageWindows[0]), "Wexlo  -  Message from localhost (127.0.0.1)");
    EXPECT_EQ(Title(form.FMessageWindows[1]), "Wexlo  -  Auto-response from localhost (127.0.0.1)");
    EXPECT_EQ(form.FMessageWindows[1]->redMessage->Content(), "Out\r\n");
    EXPECT_EQ(form.FSessionLog.size(), 7u);  // start, sent, auto-response
    EXPECT_TRUE(h.boxes.boxes.empty());
}

// ---- the send dialog as the main form opens it

TEST(MainSendDialog, OpensOnceWithTheRecentHostsAndStoresTheListOnSend) {
    SendRig r;
    r.form.FRecentHosts = {"alpha", "127.0.0.1", "beta"};
    r.form.mnSendMessage->trigger();
    ASSERT_NE(fSendMessage, nullptr);
    QPointer<TfSendMessage> dialog(fSendMessage);
    EXPECT_EQ(dialog->Hosts(), r.form.FRecentHosts);
    EXPECT_EQ(dialog->HostText(), "alpha");
    EXPECT_EQ(dialog->MessageText(), "");
    EXPECT_TRUE(dialog->isVisible());

    // A second open, also by double-click, leaves the open one as it is.
    dialog->SetMessageText("draft");
    dialog->SetHostText("127.0.0.1");
    r.form.mnSendMessage->trigger();
    r.form.NotifyIcon->OnDblClick(nullptr);
    EXPECT_EQ(fSendMessage, dialog.data());
    EXPECT_EQ(dialog->MessageText(), "draft");
    EXPECT_EQ(dialog->HostText(), "127.0.0.1");

    dialog->btnSend->click();
    ASSERT_TRUE(r.rx.WaitFor(0, Request("draft").size()));
    EXPECT_TRUE(WaitUntil([&] { return dialog.isNull(); }));
    const TStringList sent{"127.0.0.1", "alpha", "beta"};
    EXPECT_EQ(r.form.FRecentHosts, sent);
    EXPECT_NE(testsupport::ReadFile(r.h.services.SettingsPath)
                  .find("\"Recent hosts\"=\"127.0.0.1\\r\\nalpha\\r\\nbeta\\r\\n\"\n"),
              std::string::npos);

    // The next run offers them in that order.
    r.h.StartAsIs();
    EXPECT_EQ(r.h->FRecentHosts, sent);
    r.h->OpenSendDialog(false);
    ASSERT_NE(fSendMessage, nullptr);
    EXPECT_EQ(fSendMessage->Hosts(), sent);
    EXPECT_EQ(fSendMessage->HostText(), "127.0.0.1");
    r.h.Stop();
    EXPECT_EQ(fSendMessage, nullptr) << "the dialog goes with the program";
}

TEST(MainSendDialog, StaysOnTopWhileAlertsAreOpen) {
    MainHarness h;
    TfMain& form = h.Start();
    form.OpenSendDialog(false);
    ASSERT_NE(fSendMessage, nullptr);
    EXPECT_FALSE(KeepsAbove(fSendMessage));

    RawClient client(h.port);
    client.Send(Request("pop"));
    ASSERT_TRUE(client.WaitClosed());
    ASSERT_EQ(form.FMessageWindows.size(), 1u);
    EXPECT_TRUE(KeepsAbove(fSendMessage));

    form.mnCloseMessages->trigger();
    EXPECT_FALSE(KeepsAbove(fSendMessage));
    delete fSendMessage;
}

std::vector<std::string> Items(const QComboBox* Box) {
    std::vector<std::string> items;
    for (int i = 0; i < Box->count(); ++i) items.push_back(Box->itemText(i).toStdString());
    return items;
}

TEST(MainSendDialog, OffersTheCopiesFoundAfterTheRecentHostsWhileOpen) {
    // Only "deskpc" resolves here, to the address it announced from.
    const auto resolver = THostLookup::SetResolver([](const std::string& host) {
        return host == "deskpc" ? THostLookup::ResolveWithSystem("127.0.0.1")
                                : THostLookup::TResult{EAI_NONAME, 0};
    });
    testsupport::StandInDiscovery discovery;
    SendRig r;  // the form's sends go to r.rx
    r.h.services.Discovery = &discovery;
    TfMain& form = r.h.StartAsIs();
    form.ClientSocket->SetPort(r.rx.port);
    const int port = form.ServerSocket->Port();
    form.FRecentHosts = {"alpha", "10.0.0.6"};
    form.OpenSendDialog(false);
    ASSERT_NE(fSendMessage, nullptr);
    QPointer<TfSendMessage> dialog(fSendMessage);

    const TServiceRecord desk{"1/deskpc", "deskpc", "deskpc.local", "127.0.0.1", port, 1, "1.5"};
    const TServiceRecord laptop{"1/laptop", "laptop", "laptop.local", "10.0.0.7", port, 0, ""};
    TServiceRecord sameAsRecent{"1/b", "b", "b.local", "10.0.0.6", port, 0, ""};
    TServiceRecord otherPort{"1/c", "c", "c.local", "10.0.0.8", port + 1, 0, ""};
    TServiceRecord own{"1/me", "me", "me.local", "10.0.0.9", port, 0, "", true};
    for (const auto& record : {desk, laptop, sameAsRecent, otherPort, own}) discovery.Found(record);
    const std::vector<std::string> all{"alpha", "10.0.0.6", "10.0.0.7", "deskpc"};
    EXPECT_TRUE(WaitUntil([&] { return Items(dialog->cmbHost) == all; }))
        << testing::PrintToString(Items(dialog->cmbHost));
    EXPECT_EQ(dialog->cmbHost->currentText(), "alpha") << "the field keeps what it shows";
    EXPECT_EQ(dialog->Hosts(), form.FRecentHosts);

    discovery.Gone(laptop.Key);
    EXPECT_EQ(Items(dialog->cmbHost), (std::vector<std::string>{"alpha", "10.0.0.6", "deskpc"}));

    // Chosen, a found copy is a typed name: it goes first, nothing else joins.
    dialog->cmbHost->setCurrentIndex(2);
    EXPECT_EQ(dialog->HostText(), "deskpc");
    dialog->SetMessageText("found");
    dialog->btnSend->click();
    ASSERT_TRUE(r.rx.WaitFor(0, Request("found").size()));
    EXPECT_EQ(form.FRecentHosts, (TStringList{"deskpc", "alpha", "10.0.0.6"}));
    THostLookup::SetResolver(resolver);
}

TEST(MainAnnounce, FollowsTheListenerTheOptionAndTheExit) {
    testsupport::StandInDiscovery discovery;
    MainHarness h;
    h.services.Discovery = &discovery;
    TfMain& form = h.Start();
    const auto at = [&](int port) {
        return "announce " + ComputerName() + " " + std::to_string(port) + " " +
               std::to_string(form.FTalkPort);
    };
    EXPECT_EQ(discovery.calls, std::vector<std::string>{at(h.port)});
    form.cbAnnounce->setChecked(false);
    form.cbAnnounce->setChecked(true);
    const int moved = testsupport::FreeTcpPort();
    form.edPort->setText(QString::number(moved));
    form.btnOK->click();
    EXPECT_EQ(discovery.calls,
              (std::vector<std::string>{at(h.port), "withdraw", at(h.port), at(moved)}));
    h.Stop();
    EXPECT_EQ(discovery.calls.back(), "withdraw");
}

}  // namespace
