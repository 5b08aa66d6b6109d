#include "tools/SendTool.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QTimer>

#include "messaging/WireFormat.h"
#include "net/HostLookup.h"
#include "tests/support/Recorders.h"
#include "tools/PeerListing.h"
#include "tests/support/RawPeers.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TwoHosts.h"

namespace {

using testsupport::WaitUntil;

// A receiver on a free loopback port that records the bytes it gets and
// answers as the test asks, served while the test's event loop runs.
class TestReceiver {
    testsupport::RawListener FListener;  // made first: port is its port

public:
    enum class Mode { Reply, CloseWithoutReply, Silent, ReadSomeThenClose };

    explicit TestReceiver(Mode mode, std::string reply = {})
        : port(FListener.port), FMode(mode), FReply(std::move(reply)) {
        QObject::connect(&FTurns, &QTimer::timeout, [this] { Serve(); });
        FTurns.start(5);
        FSince.start();
    }

    int port = 0;
    int connections = 0;
    std::size_t expect = 0;  // bytes to wait for before answering or closing
    int pauseMs = 0;         // reading starts this long after the receiver is made
    std::string received;

private:
    void Serve() {
        if (FDone || FSince.elapsed() < pauseMs) return;
        FListener.Pump();
        connections = int(FListener.peers.size());
        if (connections == 0) return;
        received = FListener.peers[0].got;
        if (FMode == Mode::ReadSomeThenClose && !received.empty()) {
            // A reset, however much has arrived by now: a plain close reads
            // what is pending away first, and when the whole message was
            // already in (a busy machine) that ends gracefully, which the
            // sender rightly takes for "no status reply".
            received.resize(std::min<std::size_t>(received.size(), 1000));
            FListener.Close(0, true);
            FDone = true;
        } else if (FMode != Mode::Silent && received.size() >= expect) {
            if (FMode == Mode::Reply) FListener.Reply(0, FReply);
            FListener.Close(0);
            FDone = true;
        }
    }

    Mode FMode;
    std::string FReply;
    bool FDone = false;
    QTimer FTurns;
    QElapsedTimer FSince;
};

using testsupport::RunSendTool;

// "NAME (ADDRESS)" for the loopback receiver, as the tool should print it.
std::string LoopbackPeer() {
    return testsupport::NameOf("127.0.0.1") + " (127.0.0.1)";
}

std::string Port(const TestReceiver& r) {
    return std::to_string(r.port);
}

// A literal with its NUL bytes kept.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

TEST(SendToolProcess, RequestBytesAndEveryReplyVariant) {
    const std::string peer = LoopbackPeer(), sent = "Message sent to " + peer + "\n";
    // text: what must arrive after the header; an empty reply: the receiver
    // closes without one.
    struct Case {
        const char* name;
        std::vector<std::string> words;
        std::string text, reply, output;
    } cases[] = {
        {"flags clear, stale away text ignored", {"hello", "world"}, "hello world",
         "\b00\bold away text", sent},
        {"alerts off", {" two", "blanks "}, " two blanks ", "\b10\b",
         sent + peer + " has alerts disabled\n"},
        {"auto-response, away text passed on byte for byte", {"caf\xc3\xa9", "\bmark"},
         "caf\xc3\xa9 \bmark", Bytes("\b01\bOut until 5\r\n\x1b[2J\0!"),
         sent + "Auto-response from " + peer + ":\nOut until 5\r\n\x1b[2J" + Bytes("\0!\n")},
        {"both flags, alerts line first", {"hi"}, "hi", "\b11\baway",
         sent + peer + " has alerts disabled\nAuto-response from " + peer + ":\naway\n"},
        {"words that look like options, after --", {"--", "-n", "--port", "1"}, "-n --port 1",
         "\b00\b", sent},
        {"a lone dash is a word", {"-"}, "-", "\b00\b", sent},
        {"older receiver closes without a reply", {"hello"}, "hello", "",
         sent + "No status reply\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestReceiver receiver(c.reply.empty() ? TestReceiver::Mode::CloseWithoutReply
                                              : TestReceiver::Mode::Reply,
                              c.reply);
        const std::string request = RequestHeader + c.text;
        receiver.expect = request.size();
        std::vector<std::string> args = {"--port", Port(receiver), "127.0.0.1"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const auto r = RunSendTool(args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, SendExit::Sent) << r.err;
        EXPECT_EQ(r.out, c.output);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(receiver.received, request);
        EXPECT_EQ(receiver.connections, 1);
    }
}

TEST(SendToolProcess, StandardInputLineEndsBecomeCrLf) {
    const struct { std::string input, text; } cases[] = {
        {"one\ntwo\n", "one\r\ntwo\r\n"},
        {"a\r\nb\nc", "a\r\nb\r\nc"},
        {"\n\n", "\r\n\r\n"},
        {Bytes("lone\rcr\0nul\xe9\b"), Bytes("lone\rcr\0nul\xe9\b")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TestReceiver receiver(TestReceiver::Mode::Reply, "\b00\b");
        receiver.expect = RequestHeader.size() + c.text.size();
        const auto r = RunSendTool({"--port", Port(receiver), "localhost"}, c.input);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, SendExit::Sent) << r.err;
        EXPECT_EQ(receiver.received, RequestHeader + c.text);
    }
}

TEST(SendToolProcess, UsageErrorsSendNothing) {
    TestReceiver receiver(TestReceiver::Mode::Reply, "\b00\b");
    const std::string p = Port(receiver);
    const std::vector<std::string> cases[] = {
        {},
        {"--port", p},
        {"--port"},
        {"--port", "0", "127.0.0.1", "hi"},
        {"--port", "70000", "127.0.0.1", "hi"},
        {"--port=12ab", "127.0.0.1", "hi"},
        {"--timeout", "0", "--port", p, "127.0.0.1", "hi"},
        {"--timeout", "-1", "--port", p, "127.0.0.1", "hi"},
        {"--timeout=soon", "--port", p, "127.0.0.1", "hi"},
        {"--bogus", "--port", p, "127.0.0.1", "hi"},
        {"--port", p, "", "hi"},
        {"--port", p, "127.0.0.1", ""},
        {"--port", p, "127.0.0.1"},  // empty standard input
        // Options after HOST are mistakes, not text.
        {"127.0.0.1", "--port", p, "hi"},
        {"--port", p, "127.0.0.1", "hi", "-t", "5"},
        {"--port", p, "127.0.0.1", "--help"},
        {"-p"},
        {"-p", "x1", "127.0.0.1", "hi"},
        {"-t0", "-p", p, "127.0.0.1", "hi"},
        {"--portal", p, "127.0.0.1", "hi"},
        {"-x", "-p", p, "127.0.0.1", "hi"},
        {"-p", p, "--"},
        // --list looks, it sends nothing; --to needs its HOST.
        {"--list", "127.0.0.1"},
        {"--list", "--to", "127.0.0.1", "hi"},
        {"--to"},
        {"--to=", "hi"},
        {"-p", p, "-H"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const std::string& a : args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        const auto r = RunSendTool(args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, SendExit::Usage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("wexlo-send: ", 0), 0u) << r.err;
    }
    testsupport::ProcessEventsFor(100);
    EXPECT_EQ(receiver.connections, 0);

    const auto help = RunSendTool({"--port", "1", "--help", "127.0.0.1"});
    EXPECT_EQ(help.exitCode, SendExit::Sent);
    EXPECT_EQ(help.out, SendUsage);
    const auto version = RunSendTool({"--version"});
    EXPECT_EQ(version.exitCode, SendExit::Sent);
    EXPECT_EQ(version.out, "wexlo-send " WEXLO_VERSION "\n");
}

TEST(SendToolProcess, ShortOptionsAndTheEndOfOptions) {
    const std::vector<std::vector<std::string>> forms = {
        {"-p", "PORT", "-t", "10", "127.0.0.1", "-x", "y"},
        {"-pPORT", "-t10", "127.0.0.1", "--", "-x", "y"},
        {"--port=PORT", "--timeout=10", "--", "127.0.0.1", "-x", "y"},
    };
    for (std::vector<std::string> args : forms) {
        TestReceiver receiver(TestReceiver::Mode::Reply, "\b00\b");
        for (std::string& a : args) {
            const std::size_t at = a.find("PORT");
            if (at != std::string::npos) a.replace(at, 4, Port(receiver));
        }
        SCOPED_TRACE(args.front());
        receiver.expect = RequestHeader.size() + 4;
        // The first form has options after HOST: refused, nothing sent.
        const bool valid = args.front() != "-p";
        const auto r = RunSendTool(args);
        ASSERT_TRUE(r.finished);
        if (!valid) {
            EXPECT_EQ(r.exitCode, SendExit::Usage);
            EXPECT_EQ(receiver.connections, 0);
            continue;
        }
        EXPECT_EQ(r.exitCode, SendExit::Sent) << r.err;
        EXPECT_EQ(receiver.received, RequestHeader + "-x y");
    }
}

// With --to every word is the message; each host gets its line, and the
// worst outcome is the status.
TEST(SendToolProcess, SeveralHostsEachReportedWithTheWorstStatus) {
    TestReceiver receiver(TestReceiver::Mode::Reply, "\b00\b");
    receiver.expect = RequestHeader.size() + 12;
    const auto r = RunSendTool(
        {"-p", Port(receiver), "-H", "255.255.255.255", "--to=127.0.0.1", "127.0.0.1", "hi"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, SendExit::ConnectFailed);
    EXPECT_EQ(r.out, "Message sent to localhost (127.0.0.1)\n");
    EXPECT_EQ(r.err.find("wexlo-send: cannot connect to 255.255.255.255 port"), 0u) << r.err;
    EXPECT_EQ(receiver.received, RequestHeader + "127.0.0.1 hi");
}

// Another service on the port answers something else: that is no delivery.
TEST(SendToolProcess, AReplyThatIsNotAStatusReplyIsNoSuccess) {
    for (const std::string& reply :
         {std::string("no header"), std::string("HTTP/1.0 400 Bad Request\r\n\r\n"),
          std::string("\b2x\baway"), std::string("\b00"), std::string("\b00X"),
          std::string("SSH-2.0-OpenSSH_9.2\r\n")}) {
        SCOPED_TRACE(reply);
        TestReceiver receiver(TestReceiver::Mode::Reply, reply);
        receiver.expect = RequestHeader.size() + 2;
        const auto r = RunSendTool({"--port", Port(receiver), "127.0.0.1", "hi"});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, SendExit::NotWexlo);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "wexlo-send: " + LoopbackPeer() + " answered on port " + Port(receiver) +
                             ", but not as Wexlo does: another program may be listening there\n");
    }
}

// Output that cannot be written makes the run a failure, even when the
// message went out.
TEST(SendToolProcess, UnwritableOutputIsAFailure) {
    TestReceiver receiver(TestReceiver::Mode::Reply, "\b00\b");
    receiver.expect = RequestHeader.size() + 2;
    const auto sent =
        RunSendTool({"--port", Port(receiver), "127.0.0.1", "hi"}, {}, 20000, "/dev/full");
    ASSERT_TRUE(sent.finished);
    EXPECT_EQ(sent.exitCode, SendExit::Failure);
    EXPECT_EQ(receiver.received, RequestHeader + "hi");
    EXPECT_NE(sent.err.find("wexlo-send: cannot write standard output: "), std::string::npos)
        << sent.err;

    for (const char* option : {"--help", "--version"}) {
        const auto r = RunSendTool({option}, {}, 20000, "/dev/full");
        EXPECT_EQ(r.exitCode, SendExit::Failure) << option;
    }
}

TEST(SendToolProcess, ClosedPortAndUnknownHost) {
    const auto refused =
        RunSendTool({"--port", std::to_string(testsupport::FreeTcpPort()), "127.0.0.1", "hi"});
    ASSERT_TRUE(refused.finished);
    EXPECT_EQ(refused.exitCode, SendExit::ConnectFailed);
    EXPECT_NE(refused.err.find(std::strerror(ECONNREFUSED)), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");

    const auto unknown = RunSendTool({"wexlo-no-such-host.invalid", "hi"});
    ASSERT_TRUE(unknown.finished);
    EXPECT_EQ(unknown.exitCode, SendExit::HostNotFound);
    EXPECT_EQ(unknown.err, "wexlo-send: host not found: wexlo-no-such-host.invalid\n");
    EXPECT_EQ(unknown.out, "");
    RecordProperty("unknown_host_ms", static_cast<int>(unknown.seconds * 1000));
}

TEST(SendToolProcess, SilentReceiverTimesOut) {
    TestReceiver receiver(TestReceiver::Mode::Silent);
    const auto r = RunSendTool({"--timeout", "1", "--port", Port(receiver), "127.0.0.1", "hi"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, SendExit::Timeout);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "wexlo-send: the message went out to " + LoopbackPeer() +
                         " but no status reply came within 1 second\n");
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_LT(r.seconds, 15.0) << "the default of 30 s was used";
    EXPECT_EQ(receiver.received, RequestHeader + "hi");
}

std::string LargeText(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = static_cast<char>(i * 7 % 251);
        text[i] = c == '\n' ? '\x0b' : c;  // no LF, so standard input passes it unchanged
    }
    return text;
}

TEST(SendToolProcess, LargeMessagesArriveWhole) {
    // 1 MB fits into the loopback buffers here (about 4 MB); 8 MB does not, so
    // its rest must go out as the late-reading receiver drains the socket.
    for (const std::size_t size : {std::size_t(1) << 20, std::size_t(8) << 20}) {
        SCOPED_TRACE(size);
        const std::string text = LargeText(size);
        TestReceiver receiver(TestReceiver::Mode::Reply, "\b10\b");
        receiver.expect = RequestHeader.size() + text.size();
        receiver.pauseMs = 300;
        const auto r = RunSendTool({"--port", Port(receiver), "127.0.0.1"}, text);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, SendExit::Sent) << r.err;
        EXPECT_EQ(r.out, "Message sent to " + LoopbackPeer() + "\n" + LoopbackPeer() +
                             " has alerts disabled\n");
        ASSERT_EQ(receiver.received.size(), RequestHeader.size() + text.size());
        EXPECT_TRUE(receiver.received == RequestHeader + text);
    }
}

TEST(SendToolProcess, MessageCutByReceiverIsAFailure) {
    // A receiver that keeps only part of a large message and closes: the
    // sender must not report success.
    const std::string text = LargeText(1 << 20);
    TestReceiver receiver(TestReceiver::Mode::ReadSomeThenClose);
    const auto r = RunSendTool({"--port", Port(receiver), "127.0.0.1"}, text);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, SendExit::ConnectFailed) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(receiver.received == (RequestHeader + text).substr(0, receiver.received.size()));
}

// One line per copy, by the name that resolves here or else the address; a
// peer's text cannot break the columns. Nothing found is the not-found status.
TEST(SendTool, ListingPrintsOneLinePerCopyFound) {
    const auto resolver = THostLookup::SetResolver([](const std::string& host) {
        return host == "deskpc" ? THostLookup::ResolveWithSystem("10.0.0.5")
                                : THostLookup::TResult{EAI_NONAME, 0};
    });
    for (bool any : {true, false}) {
        testsupport::StandInDiscovery discovery;
        std::string out, err;
        int code = -1;
        TPeerListing listing(discovery, 300, [&](const std::string& t) { out += t; },
                             [&](const std::string& t) { err += t; });
        listing.Unavailable = [] { return std::string("Daemon not running"); };
        listing.OnFinished = [&](int c) { code = c; };
        listing.Start();
        if (any) {
            discovery.Found({"1/z", "zed", "zed.local", "10.0.0.9", 14000, 0, "9\tx\ny"});
            discovery.Found({"1/d", "deskpc", "deskpc.local", "10.0.0.5", 13769, 13770, "1.5"});
        }
        ASSERT_TRUE(WaitUntil([&] { return code >= 0; }, 5000));
        if (any) {
            EXPECT_EQ(code, SendExit::Sent);
            EXPECT_EQ(out, "10.0.0.9\t10.0.0.9\t14000\t-\t9?x?y\n"
                           "deskpc\t10.0.0.5\t13769\t13770\t1.5\n");
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(code, SendExit::HostNotFound);
            EXPECT_EQ(out, "");
            EXPECT_EQ(err, "wexlo-send: cannot look for copies on the network: Daemon not running\n");
        }
    }
    THostLookup::SetResolver(resolver);
}

// Over a link of 5 Mbit/s the platform takes a long message long before the
// peer has it: a reply or a close then is no delivery, and a time-out then
// is a time-out while sending.
TEST(SendToolProcess, OverASlowLinkOnlyWhatThePeerHasCounts) {
    testsupport::TwoHosts hosts("5mbit");
    if (!hosts.Ready) GTEST_SKIP() << "cannot make two hosts here: " << hosts.Error;
    const std::string text = LargeText(1 << 20);
    const std::string request = RequestHeader + text;
    const std::string to = testsupport::TwoHosts::ReceiverAddress;
    std::unique_ptr<testsupport::RawListener> rx;
    {
        testsupport::TwoHosts::Inside inside(hosts.Receiver);
        ASSERT_TRUE(inside.Entered);
        rx = std::make_unique<testsupport::RawListener>(to.c_str());
    }
    const std::string port = std::to_string(rx->port);

    // The first connection is answered when all but its last 256 KB have
    // come; the second is read and never answered.
    bool answered = false;
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        rx->Pump();
        if (!answered && !rx->peers.empty() &&
            rx->peers[0].got.size() >= request.size() - (256 << 10)) {
            answered = true;
            rx->Reply(0, "\b00\b");
        }
    });
    pump.start(5);
    const auto early = RunSendTool({"--port", port, to}, text, 30000, {}, hosts.OnSender());
    ASSERT_TRUE(early.finished && answered) << early.err;
    EXPECT_EQ(early.exitCode, SendExit::ConnectFailed) << early.out << early.err;
    EXPECT_EQ(early.out, "");
    EXPECT_NE(early.err.find("the message was cut"), std::string::npos) << early.err;

    const auto late =
        RunSendTool({"--timeout", "1", "--port", port, to}, text, 30000, {}, hosts.OnSender());
    ASSERT_TRUE(late.finished);
    EXPECT_EQ(late.exitCode, SendExit::Timeout) << late.err;
    EXPECT_EQ(late.err.rfind("wexlo-send: could not send the message to " + to + " port " + port +
                                 " within 1 second (",
                             0),
              0u)
        << late.err;

    // No route from the sender's host: the connect fails at once.
    const auto unreachable =
        RunSendTool({"--port", port, "10.202.0.9", "hi"}, {}, 30000, {}, hosts.OnSender());
    ASSERT_TRUE(unreachable.finished);
    EXPECT_EQ(unreachable.exitCode, SendExit::ConnectFailed) << unreachable.err;
    EXPECT_EQ(unreachable.err, "wexlo-send: cannot connect to 10.202.0.9 port " + port + ": " +
                                   std::strerror(ENETUNREACH) + "\n");
}

TEST(SendTool, TerminalSafeDefusesControlBytes) {
    const struct { std::string in, out; } cases[] = {
        {"plain text\tand tab\n", "plain text\tand tab\n"},
        {"line\r\nnext", "line\r\nnext"},
        {"\x1b[2Jwiped\rover\x7f", "?[2Jwiped?over?"},
        {Bytes("nul\0bell\x07"), "nul?bell?"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        // C1 controls: raw (0x9B is a one-byte CSI) and in UTF-8, one '?' each.
        {"\x9b" "2Jgone\x80\x9f", "?2Jgone??"},
        {"\xc2\x9b" "2J\xc2\x80\xc2\x9f", "?2J??"},
        // Other UTF-8 keeps its bytes, including continuation bytes 0x80-0x9F.
        {"\xe2\x82\xac \xc2\xa0\xc2\xa9 \xf0\x9f\x98\x80",
         "\xe2\x82\xac \xc2\xa0\xc2\xa9 \xf0\x9f\x98\x80"},
        // A Windows-1252 letter passes; a cut or overlong sequence is no shelter.
        {"caf\xe9", "caf\xe9"},
        {"\xe2\x82", "\xe2?"},
        {"\xc1\x9b" "x\xe0\x82\x9b", "\xc1?x\xe0??"},
    };
    for (const auto& c : cases) EXPECT_EQ(TerminalSafe(c.in), c.out) << c.in;
}

}  // namespace
