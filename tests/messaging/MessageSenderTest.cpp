// The sending core over real sockets to a receiver the test controls, with
// the program around it replaced by recorders.
#include "messaging/MessageSender.h"

#include <poll.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "net/AsyncClientSocket.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/RawPeers.h"
#include "tests/support/RecordingMessagingHost.h"
#include "tests/support/TwoHosts.h"

namespace {

using namespace testsupport;

// A handler that passes a client's event on to Sender's Handler.
template <auto Handler>
auto To(TMessageSender& Sender) {
    return [&Sender](auto&&... A) { (Sender.*Handler)(A...); };
}

// The sending core on one client, as the main form wires it.
struct SendRig {
    explicit SendRig(int Port) {
        client.SetPort(Port);
        client.OnConnect = To<&TMessageSender::ClientSocketConnect>(sender);
        client.OnRead = To<&TMessageSender::ClientSocketRead>(sender);
        client.OnDrained = To<&TMessageSender::ClientSocketDrained>(sender);
        client.OnDisconnect = To<&TMessageSender::ClientSocketDisconnect>(sender);
        client.OnError = To<&TMessageSender::ClientSocketError>(sender);
        host.options.CustomSound = "message.wav";
    }

    // Starts a send and waits until the receiver has the whole request and
    // the send is done.
    void SendAndWait(RawListener& To, const std::string& Text,
                     const std::string& Host = "127.0.0.1") {
        const std::size_t index = To.peers.size();
        ASSERT_TRUE(sender.SendMessageTo({Host}, Text));
        ASSERT_TRUE(To.WaitFor(index, Request(Text).size()));
        EXPECT_EQ(To.peers[index].got, Request(Text));
        ASSERT_TRUE(WaitUntil([&] { return !sender.FSending; }));
    }

    RecordingMessagingHost host;
    TAsyncClientSocket client;
    TMessageSender sender{client, host};
};

// A send that failed: one error box naming Peer, no "sent" entry, the tray told.
void ExpectFailed(const SendRig& r, std::size_t Logged, const std::string& Peer) {
    ASSERT_EQ(r.host.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.host.boxes.boxes[0].text, "Error sending data to " + Peer);
    EXPECT_EQ(r.host.sessionLog.size(), Logged) << "a failed send was logged as sent";
    EXPECT_EQ(r.host.tray.back(), "failed");
    EXPECT_FALSE(r.sender.FSending);
}

TEST(MessageSender, ReplyOutcomes) {
    RawListener rx;
    SendRig r(rx.port);
    ScopedClock clock(When);
    const std::string peer = "localhost (127.0.0.1)";
    const std::string wav = "message.wav";
    const TStringList autoEntry{peer + " sent an auto-response at " + Stamp(), Separator,
                                "Away <b>now</b>\r\n\r\n\r\n"};
    const TStringList offEntry{peer + " has alerts disabled. " + Stamp() + "\r\n\r\n"};
    const TStringList bothEntries{offEntry[0], autoEntry[0], autoEntry[1], autoEntry[2]};
    const std::string away = "Away <b>now</b>";
    const std::string sent = "sent " + peer, off = "alerts off " + peer;
    struct Case {
        const char* name;
        std::string reply;  // empty: closed without one
        bool disableAlertsHere, alertOptionHere;
        std::string tray;  // what the tray was told last
        TStringList log;   // after the sent entry
        bool window, sound;
    };
    const Case cases[] = {
        {"both flags 0", "\b00\bx", false, true, sent, {}, false, false},
        {"older receiver: no reply", "", false, true, sent, {}, false, false},
        {"alerts off", "\b10\b", false, true, off, offEntry, false, false},
        {"auto-response", "\b01\b" + away, false, true, sent, autoEntry, true, true},
        {"auto-response, alerts disabled here", "\b01\b" + away, true, true, sent, autoEntry, true,
         false},
        {"auto-response, alert option off here", "\b01\b" + away, false, false, sent, autoEntry,
         true, true},
        {"both flags", "\b11\b" + away, false, true, off, bothEntries, true, true},
        {"short reply", "\b1", false, true, off, offEntry, false, false},
        {"not a reply", "01", false, true, sent, {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.host.options.DisableAlerts = c.disableAlertsHere;
        r.host.options.AlertOnMessage = c.alertOptionHere;
        r.host.sound.played.clear();
        r.host.alerts.clear();
        const std::size_t index = rx.peers.size();
        r.SendAndWait(rx, "ping");
        const std::size_t logged = r.host.sessionLog.size();
        EXPECT_EQ(Tail(r.host.sessionLog, logged - 3),
                  (TStringList{"Sent message to " + peer + " at " + Stamp(), Separator,
                               "ping\r\n\r\n\r\n"}));
        if (!c.reply.empty()) rx.Reply(index, c.reply);
        rx.Close(index);
        ASSERT_TRUE(WaitUntil([&] { return !r.client.Active(); }));

        EXPECT_EQ(r.host.tray.back(), c.tray);
        EXPECT_EQ(Tail(r.host.sessionLog, logged), c.log);
        EXPECT_EQ(r.host.sound.played,
                  c.sound ? std::vector<std::string>{wav} : std::vector<std::string>{});
        ASSERT_EQ(r.host.alerts.size(), c.window ? 1u : 0u);
        if (c.window) {
            EXPECT_EQ(r.host.alerts[0].title, "Auto-response from " + peer);
            EXPECT_EQ(r.host.alerts[0].text, away);
            EXPECT_FALSE(r.host.alerts[0].autoResponseSent);
        }
    }
    EXPECT_TRUE(r.host.boxes.boxes.empty());
}

TEST(MessageSender, NewSendClosesTheConnectionStillWaitingForItsReply) {
    RawListener rx;
    RawListener other("127.0.0.2", rx.port);
    SendRig r(rx.port);
    r.SendAndWait(rx, "one");
    ASSERT_TRUE(r.client.Active());

    // Same host: the waiting connection ends, a new one carries the message.
    r.SendAndWait(rx, "two");
    EXPECT_TRUE(rx.WaitEof(0));
    EXPECT_EQ(rx.peers[0].got, Request("one"));

    // Another host, while "two" still waits.
    r.SendAndWait(other, "three", "127.0.0.2");
    EXPECT_TRUE(rx.WaitEof(1));
    EXPECT_EQ(rx.peers[1].got, Request("two"));
    other.Reply(0, "\b10\b");
    ASSERT_TRUE(WaitUntil([&] { return r.host.tray.back().rfind("alerts off ", 0) == 0; }));
    EXPECT_TRUE(r.host.tray.back().ends_with(" (127.0.0.2)")) << r.host.tray.back();
    EXPECT_TRUE(r.host.boxes.boxes.empty());
    EXPECT_EQ(rx.peers.size(), 2u);
}

TEST(MessageSender, SendThatFailsAtConnectIsNotReportedAsSent) {
    RawListener rx;
    SendRig r(rx.port);
    r.SendAndWait(rx, "one");
    const std::size_t logged = r.host.sessionLog.size();
    // The receiver resets the connection; the next write to it fails.
    rx.Close(0, true);
    pollfd p{r.client.Connection()->Handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);

    // A connect notification that meets such a connection: the write fails.
    r.sender.FSending = true;
    r.sender.ClientSocketConnect(&r.client, r.client.Connection());
    ExpectFailed(r, logged, "localhost (127.0.0.1)");
}

TEST(MessageSender, LongTextIsLoggedAsSentOnlyOnceEveryByteHasGone) {
    RawListener rx;
    SendRig r(rx.port);
    ScopedClock clock(When);
    // A small send buffer here and a receiver that reads late: the text goes
    // out in many writes.
    r.client.OnConnecting = [](QObject*, TSocketConnection* c) {
        const int size = 4096;
        ::setsockopt(c->Handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    };
    const int window = 16384;
    ::setsockopt(rx.fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    const std::string text = Pattern(3 * 1024 * 1024);
    const TStringList sent{"Sent message to localhost (127.0.0.1) at " + Stamp(), Separator,
                           text + "\r\n\r\n\r\n"};

    for (const bool receiverResets : {false, true}) {
        SCOPED_TRACE(receiverResets ? "receiver resets half-way" : "receiver reads it all");
        r.host.boxes.boxes.clear();
        const std::size_t index = rx.peers.size();
        const std::size_t logged = r.host.sessionLog.size();
        ASSERT_TRUE(r.sender.SendMessageTo({"127.0.0.1"}, text));
        ASSERT_TRUE(WaitUntil([&] { return r.client.Active(); }));
        ASSERT_EQ(r.host.sessionLog.size(), logged) << "logged as sent before it had gone";
        EXPECT_TRUE(r.sender.FSending);
        EXPECT_EQ(r.host.tray.back(), "connecting 127.0.0.1");

        if (!receiverResets) {
            ASSERT_TRUE(rx.WaitFor(index, Request(text).size(), 30000));
            EXPECT_TRUE(rx.peers[index].got == Request(text));
            ASSERT_TRUE(WaitUntil([&] { return !r.sender.FSending; }));
            EXPECT_EQ(Tail(r.host.sessionLog, logged), sent);
            EXPECT_EQ(r.host.tray.back(), "sent localhost (127.0.0.1)");
            EXPECT_TRUE(r.host.boxes.boxes.empty());
            continue;
        }
        ASSERT_TRUE(rx.WaitFor(index, 100000, 30000));
        rx.Close(index, true);
        ASSERT_TRUE(WaitUntil([&] { return !r.host.boxes.boxes.empty(); }));
        ExpectFailed(r, logged, "localhost (127.0.0.1)");
    }
}

// A resolver that never answers for the receiver: the send ends, and its
// entry names no one, once the lookup's bound has passed; the event loop
// turns meanwhile.
TEST(MessageSender, ThePeersNameIsNeverWaitedFor) {
    nettest::TResolverSeams seams;
    ReverseLookup::SetResolver([r = seams.Reverse](uint32_t) {
        r->Wait();
        return std::string("too-late");
    });
    RawListener rx;
    SendRig r(rx.port);
    QElapsedTimer took;
    took.start();
    EventLoopGap gap;
    r.SendAndWait(rx, "x");
    EXPECT_LT(gap.Longest(), 900) << "the event loop waited for the name";
    EXPECT_GT(took.elapsed(), 900) << "the entry did not wait for the name's bound";
    EXPECT_EQ(r.host.sessionLog.front().rfind("Sent message to  (127.0.0.1) at ", 0), 0u);
    EXPECT_EQ(r.host.tray.back(), "sent  (127.0.0.1)");
}

// Over a link of 5 Mbit/s the platform takes the whole request long before
// the receiver has it. A receiver that answers with the last bytes still on
// their way has cut the message: no "sent" entry, an error box. One that
// answers once it has everything gets the usual outcome.
TEST(MessageSender, OverASlowLinkAnAnswerBeforeTheLastByteIsAFailure) {
    TwoHosts hosts("5mbit");
    if (!hosts.Ready) GTEST_SKIP() << "cannot make two hosts here: " << hosts.Error;
    const std::string to = TwoHosts::ReceiverAddress;
    std::unique_ptr<RawListener> rx;
    {
        TwoHosts::Inside inside(hosts.Receiver);
        ASSERT_TRUE(inside.Entered);
        rx = std::make_unique<RawListener>(to.c_str());
    }
    SendRig r(rx->port);
    const std::string text(1 << 20, 'x');
    const std::size_t size = Request(text).size();
    for (const bool early : {true, false}) {
        SCOPED_TRACE(early ? "answered early" : "answered at the end");
        const std::size_t index = rx->peers.size();
        const std::size_t logged = r.host.sessionLog.size();
        {
            TwoHosts::Inside inside(hosts.Sender);
            ASSERT_TRUE(r.sender.SendMessageTo({to}, text));
        }
        ASSERT_TRUE(rx->WaitFor(index, early ? size - (256 << 10) : size, 30000));
        rx->Reply(index, "\b00\b");
        ASSERT_TRUE(WaitUntil([&] { return !r.client.Active(); }, 30000));
        if (early) {
            ExpectFailed(r, logged, " (" + to + ")");
            continue;
        }
        EXPECT_EQ(r.host.boxes.boxes.size(), 1u) << "no box for a delivered message";
        EXPECT_EQ(r.host.sessionLog.size(), logged + 3);
        EXPECT_EQ(r.host.tray.back(), "sent  (" + to + ")");
        EXPECT_FALSE(r.sender.FSending);
    }
}

}  // namespace
