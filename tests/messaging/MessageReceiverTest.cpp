// The receiving core over real loopback sockets, with the program around it
// replaced by recorders: what it records, sounds, shows and answers.
#include "messaging/MessageReceiver.h"

#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include <QElapsedTimer>

#include "messaging/WireFormat.h"
#include "net/AsyncServerSocket.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/RawPeers.h"
#include "tests/support/RecordingMessagingHost.h"

namespace {

using namespace testsupport;

const std::string Away = "Back at three\r\n<i>bye</i>";

// A message port served by the receiving core alone.
struct ReceiverRig {
    ReceiverRig() {
        port = FreeTcpPort();
        server.SetPort(port);
        server.SetSilentTimeout(MessageSilentTimeoutMs);
        server.OnClientRead = [this](QObject* s, TSocketConnection* c) {
            receiver.ServerSocketClientRead(s, c);
        };
        server.OnClientDisconnect = [this](QObject* s, TSocketConnection* c) {
            receiver.ServerSocketClientDisconnect(s, c);
        };
        host.options.CustomSound = "message.wav";
        server.Open();
    }

    std::string Deliver(const std::string& Bytes, const char* Source = nullptr) {
        return testsupport::Deliver(port, Bytes, Source);
    }

    RecordingMessagingHost host;
    TMessageReceiver receiver{host};
    TAsyncServerSocket server;
    int port = 0;
};

TEST(MessageReceiver, EntryReplyAndCloseForEveryKindOfRequest) {
    ReceiverRig r;
    ScopedClock clock(When);
    const std::string header = "From localhost (127.0.0.1) at " + TimeStamp(When);
    r.host.response = Away;

    struct Case {
        const char* name;
        std::string request;
        bool disableAlerts, autoResponse;
        std::string text;   // the entry's text
        std::string reply;  // empty: none at all
    };
    const std::string nul("a\0b", 3);
    const Case cases[] = {
        {"v150", Request("Hello\r\nthere"), false, false, "Hello\r\nthere", "\b00\b" + Away},
        {"alerts off", Request("Hi"), true, false, "Hi", "\b10\b" + Away},
        {"auto-response", Request("Hi"), false, true, "Hi", "\b01\b" + Away},
        {"both modes", Request("Hi"), true, true, "Hi", "\b11\b" + Away},
        {"later version", "\b0160\r\n\bHi", false, false, "Hi", "\b00\b" + Away},
        {"bare text v100", "Hello", false, false, "Hello", ""},
        {"version 0", "\babcd\bHi", false, false, "Hi", ""},
        {"no closing mark", "\b0150Hi", false, false, "", "\b00\b" + Away},
        {"0x08 and NUL in the text", Request("a\b" + nul), false, false, "a\b" + nul,
         "\b00\b" + Away},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.host.options.DisableAlerts = c.disableAlerts;
        r.host.options.AutoResponse = c.autoResponse;
        const std::size_t before = r.host.received.size();

        EXPECT_EQ(r.Deliver(c.request), c.reply);

        TStringList expected{header};
        if (c.autoResponse) expected.push_back("(Auto-response message sent)");
        expected.push_back(Separator);
        expected.push_back(c.text + "\r\n\r\n\r\n");
        ASSERT_EQ(r.host.received.size(), before + expected.size());
        EXPECT_EQ(Tail(r.host.received, before), expected);
        // An alert, or one more unread message, each time.
        if (c.disableAlerts) {
            EXPECT_EQ(r.host.unread, 1);
            r.host.unread = 0;
        } else {
            ASSERT_EQ(r.host.alerts.size(), 1u);
            EXPECT_EQ(r.host.alerts[0].title, "Message from localhost (127.0.0.1)");
            EXPECT_EQ(r.host.alerts[0].text, c.text);
            EXPECT_EQ(r.host.alerts[0].autoResponseSent, c.autoResponse);
            r.host.alerts.clear();
        }
    }
    // A window that cannot be made loses nothing else: the message is counted.
    r.host.failAlerts = true;
    EXPECT_EQ(r.Deliver(Request("no window")), "\b00\b" + Away);
    EXPECT_EQ(r.host.received.back(), "no window\r\n\r\n\r\n");
    EXPECT_EQ(r.host.unread, 1) << "recorded, yet neither shown nor counted";
    EXPECT_TRUE(r.host.boxes.boxes.empty());
}

TEST(MessageReceiver, PeerWithoutANameIsLoggedAndTitledWithAnEmptyName) {
    if (!NameOf("127.0.0.2").empty()) GTEST_SKIP() << "127.0.0.2 has a name here";
    ReceiverRig r;
    ScopedClock clock(When);

    EXPECT_EQ(r.Deliver(Request("Hi"), "127.0.0.2"), "\b00\b");
    ASSERT_EQ(r.host.received.size(), 3u);
    EXPECT_EQ(r.host.received[0], "From  (127.0.0.2) at " + TimeStamp(When));
    ASSERT_EQ(r.host.alerts.size(), 1u);
    EXPECT_EQ(r.host.alerts[0].title, "Message from  (127.0.0.2)");
}

TEST(MessageReceiver, SoundFollowsTheRule) {
    ReceiverRig r;
    struct Case {
        const char* name;
        bool beep, defaultSound;
        std::string file;
        bool disableAlerts, alertOn;
        std::vector<std::string> played;
    };
    const std::string wav = "message.wav";
    const Case cases[] = {
        {"custom file", true, false, wav, false, true, {wav}},
        {"default beep", true, true, wav, false, true, {"<beep>"}},
        {"custom with empty path is silence", true, false, "", false, true, {}},
        {"sound option off", false, true, wav, false, true, {}},
        {"alerts disabled", true, true, wav, true, true, {}},
        {"alert option off still sounds", true, false, wav, false, false, {wav}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.host.options.BeepOnMessage = c.beep;
        r.host.options.DefaultSound = c.defaultSound;
        r.host.options.CustomSound = c.file;
        r.host.options.DisableAlerts = c.disableAlerts;
        r.host.options.AlertOnMessage = c.alertOn;
        r.host.sound.played.clear();
        r.Deliver(Request("ding"));
        EXPECT_EQ(r.host.sound.played, c.played);
    }
}

TEST(MessageReceiver, TwoMessagesCloseTogetherGiveTwoEntriesInOrder) {
    ReceiverRig r;
    RawClient clients[2]{RawClient(r.port), RawClient(r.port)};
    const std::string texts[] = {"first", "second"};
    for (int i : {0, 1}) clients[i].Send(Request(texts[i]));
    for (int i : {0, 1}) EXPECT_TRUE(clients[i].WaitClosed());
    ASSERT_EQ(r.host.received.size(), 6u);
    ASSERT_EQ(r.host.alerts.size(), 2u);
    for (int i : {0, 1}) {
        EXPECT_EQ(r.host.received[2 + 3 * i], texts[i] + "\r\n\r\n\r\n");
        EXPECT_EQ(r.host.alerts[i].text, texts[i]);
    }
}

// A request longer than one segment is read until the peer is done. The
// limits are set so that a wrong ending shows as a wait far beyond the test's
// bounds, never as a race.
TEST(MessageReceiver, RequestIsCollectedUntilThePeerIsDone) {
    const std::size_t big = 200000;  // several loopback segments of 64 KB
    const std::size_t limit = 100000;
    struct Case {
        const char* name;
        TRequestLimits limits;
        std::size_t size;  // of the text
        int pauseMs;       // after the first 100 KB, once the program is collecting
        bool halfClose;    // the peer shuts its sending side down when done
        bool whole;        // answered; else reset, kept as far as it came
        std::size_t kept;  // of the text; 0: a prefix of any length
    };
    const Case cases[] = {
        {"short: at once, without waiting", {60000, 60000, limit}, 100, 0, false, true, 100},
        {"ends when the peer is quiet", {1500, 60000, 16 << 20}, big, 100, false, true, big},
        {"ends at the peer's half-close", {60000, 60000, 16 << 20}, big, 0, true, true, big},
        // Quiet since it came, but for less than the quiet time: not known
        // to be whole, so not confirmed.
        {"cut when the time is up", {60000, 300, 16 << 20}, big, 0, false, false, 0},
        {"cut at the size limit", {60000, 60000, limit}, big, 0, false, false, limit - 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverRig r;
        r.receiver.Limits = c.limits;
        const std::string text = Pattern(c.size);
        const std::string request = Request(text);

        RawClient client(r.port);
        const std::size_t first = c.pauseMs ? 100000 : request.size();
        client.Send(request.substr(0, first));
        if (c.pauseMs) {
            ASSERT_TRUE(WaitUntil([&] {
                client.Pump();
                return client.pending.empty() && r.receiver.Collecting() == 1;
            }));
            ProcessEventsFor(c.pauseMs);
            client.Send(request.substr(first));
        }
        if (c.halfClose) {
            ASSERT_TRUE(WaitUntil([&] { return client.Pump() || client.pending.empty(); }));
            ::shutdown(client.fd, SHUT_WR);
        }
        ASSERT_TRUE(client.WaitClosed());
        if (c.whole) {
            EXPECT_EQ(client.got, "\b00\b");
        } else {
            // Recorded, but not confirmed: the sender must not take it as delivered.
            EXPECT_EQ(client.got, "");
            EXPECT_TRUE(client.error == ECONNRESET || client.error == EPIPE) << client.error;
        }
        ASSERT_EQ(r.host.received.size(), 3u);
        const std::string& recorded = r.host.received[2];
        const std::string body = recorded.substr(0, recorded.size() - 6);
        if (c.kept) {
            EXPECT_EQ(body.size(), c.kept);
        }
        EXPECT_TRUE(body == text.substr(0, body.size())) << "not the bytes that were sent";
        EXPECT_EQ(r.receiver.Collecting(), 0u);
    }
}

// A link with small segments (a peer that advertises a small MSS): the first
// read holds one short segment, and the request is still collected whole.
TEST(MessageReceiver, RequestOverSmallSegmentsIsCollectedWhole) {
    ReceiverRig r;
    const std::string text = Pattern(1000);
    const std::string request = Request(text);

    const int small = 200;
    RawClient client(r.port, nullptr, [&](int fd) {
        ASSERT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &small, sizeof small), 0);
    });
    int segment = 0;
    socklen_t len = sizeof segment;
    ASSERT_EQ(::getsockopt(client.fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &len), 0);
    ASSERT_GT(segment, 0);
    ASSERT_LE(segment, small);

    // One segment, and the program has read it, before the rest goes.
    client.Send(request.substr(0, std::size_t(segment)));
    ASSERT_TRUE(client.pending.empty());
    ASSERT_TRUE(
        WaitUntil([&] { return r.receiver.Collecting() == 1 || !r.host.received.empty(); }));
    client.Send(request.substr(std::size_t(segment)));
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.got, "\b00\b");
    ASSERT_EQ(r.host.received.size(), 3u);
    EXPECT_EQ(r.host.received[2], text + "\r\n\r\n\r\n") << "cut at the first segment";
}

// A resolver that never answers holds only the messages that need it: each
// address's lookup runs beside the others, its messages are handled in order
// once its bound has passed, without a name, and a sender whose name is
// known is answered at once meanwhile. The event loop is never held.
TEST(MessageReceiver, SlowNameLookupsHoldOnlyTheirOwnMessages) {
    nettest::TResolverSeams seams;
    ReverseLookup::SetResolver([r = seams.Reverse](uint32_t address) {
        if (address == htonl(INADDR_LOOPBACK)) return std::string("known-host");
        r->Wait();
        return std::string("too-late");
    });
    ReceiverRig r;
    r.host.options.AlertOnMessage = false;
    ASSERT_EQ(r.Deliver(Request("first")), "\b00\b");
    ASSERT_EQ(r.host.received[0].rfind("From known-host (127.0.0.1) at ", 0), 0u);

    const int addresses = 60;
    QElapsedTimer all;
    all.start();
    EventLoopGap gap;
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < addresses; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i);
        slow.push_back(std::make_unique<RawClient>(r.port, source.c_str()));
        slow.back()->Send(Request("from " + source));
    }
    ASSERT_TRUE(
        WaitUntil([&] { return r.receiver.AwaitingNames() > 0 || r.host.received.size() > 3; }));
    // A second message from a waiting address keeps its place behind the first.
    slow.push_back(std::make_unique<RawClient>(r.port, "127.0.0.2"));
    slow.back()->Send(Request("again from 127.0.0.2"));
    QElapsedTimer known;
    known.start();
    RawClient sender(r.port);
    sender.Send(Request("known"));
    ASSERT_TRUE(sender.WaitClosed());
    const qint64 knownMs = known.elapsed();
    for (auto& c : slow) ASSERT_TRUE(c->WaitClosed(120000));
    const qint64 allMs = all.elapsed();
    const qint64 longestGap = gap.Longest();
    std::cout << "[ measured ] " << addresses
              << " addresses without an answering resolver: " << allMs
              << " ms for all, longest event loop gap " << longestGap
              << " ms; a known sender answered after " << knownMs << " ms\n";

    EXPECT_EQ(sender.got, "\b00\b");
    EXPECT_LT(knownMs, 900) << "the known sender waited behind a lookup";
    EXPECT_LT(longestGap, 900) << "the event loop was held";
    EXPECT_LT(allMs, 10000) << "the lookups did not run side by side";
    for (auto& c : slow) EXPECT_EQ(c->got, "\b00\b");
    std::vector<std::string> from2;
    for (std::size_t i = 0; i + 2 < r.host.received.size(); i += 3) {
        const std::string& head = r.host.received[i];
        const std::string& text = r.host.received[i + 2];
        if (text.rfind("known", 0) != 0 && text.rfind("first", 0) != 0) {
            EXPECT_EQ(head.rfind("From  (127.0.0.", 0), 0u) << head;
        }
        if (head.rfind("From  (127.0.0.2) at ", 0) == 0) from2.push_back(text);
    }
    EXPECT_EQ(from2, (std::vector<std::string>{"from 127.0.0.2\r\n\r\n\r\n",
                                               "again from 127.0.0.2\r\n\r\n\r\n"}));
    EXPECT_EQ(r.host.received.size(), 3u * (addresses + 3));
    EXPECT_EQ(r.receiver.AwaitingNames(), 0u);
}

// ---- hostile peers: the core answers the next message and records what it read.

void ExpectStillReceiving(ReceiverRig& r) {
    const std::size_t before = r.host.received.size();
    EXPECT_EQ(r.Deliver(Request("still here")), "\b00\b" + r.host.response);
    ASSERT_EQ(r.host.received.size(), before + 3);
    EXPECT_EQ(r.host.received.back(), "still here\r\n\r\n\r\n");
}

TEST(MessageReceiverHostile, OneMegabyteRequestArrivesWhole) {
    ReceiverRig r;
    r.host.options.AlertOnMessage = false;
    const std::string text = Pattern(1 << 20);
    EXPECT_EQ(r.Deliver(Request(text)), "\b00\b");
    ASSERT_EQ(r.host.received.size(), 3u);
    EXPECT_TRUE(r.host.received[2] == text + "\r\n\r\n\r\n") << "cut or changed";
    EXPECT_EQ(r.host.unread, 1);
    ExpectStillReceiving(r);
}

TEST(MessageReceiverHostile, OddAndRandomRequests) {
    ReceiverRig r;
    r.host.options.AlertOnMessage = false;
    r.host.response = "R";

    std::vector<std::string> requests{std::string(1, '\0'), std::string("\b\b"),
                                      std::string(300, '\b')};
    // Every truncation of a header, alone and with text after it.
    for (std::size_t size = 1; size < RequestHeader.size(); ++size) {
        requests.push_back(RequestHeader.substr(0, size));
        requests.push_back(RequestHeader.substr(0, size) + "text");
    }
    std::mt19937 random(4);
    for (int i = 0; i < 40; ++i) {
        std::string bytes(1 + random() % 3000, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        if (i % 2) bytes[0] = '\b';  // half of them start like a header
        requests.push_back(bytes);
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& bytes = requests[i];
        const std::string header = ParseHeader(bytes);
        const std::string reply = r.Deliver(bytes);
        EXPECT_EQ(reply, WantsStatusReply(header) ? std::string("\b00\bR") : "");
        ASSERT_EQ(r.host.received.size(), 3 * (i + 1));
        EXPECT_EQ(r.host.received.back(), StripHeader(bytes) + "\r\n\r\n\r\n");
    }
    EXPECT_EQ(r.host.unread, static_cast<int>(requests.size()));
    EXPECT_TRUE(r.host.boxes.boxes.empty());
    ExpectStillReceiving(r);
}

}  // namespace
