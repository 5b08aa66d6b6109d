// The talk session with its window replaced by a recorder, against raw
// loopback peers: what it shows, and what the peers get. No display.
#include "talk/TalkSession.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/TextCodec.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/RawPeers.h"

namespace {

using testsupport::RawClient;
using testsupport::WaitUntil;
using Lines = std::vector<std::string>;

const std::string Local = "name-of-127.0.0.1 (127.0.0.1)";

// One of the session's own lines, as the recorder keeps it.
std::string Bold(const std::string& Text) {
    return "*" + Text + "\r\n*";
}

// What a caller gets when this side already holds a session.
std::string Refusal() {
    char host[257] = {};
    ::gethostname(host, 256);
    return std::string("Error from ") + host +
           " (127.0.0.1): This machine have another connection already active.\r\n";
}

bool KeepsAlive(int Fd) {
    int on = 0, idle = 0;
    socklen_t len = sizeof on;  // and of idle
    ::getsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    ::getsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
    return on && idle > 0 && idle <= 120;
}

// The window as a recorder: the received pane's lines (bold ones between
// asterisks), every byte of them, and the largest share of one turn.
struct RecordingTalkView : ITalkView {
    void ShowReceivedLine(std::string_view Bytes, bool Bold) override {
        lines.push_back(Bold ? "*" + std::string(Bytes) + "*" : std::string(Bytes));
        all += Bytes;
        largestTurn = std::max(largestTurn, turn += Bytes.size());
    }
    void ShowStatus(const std::string& Text) override { status = Text; }
    void SessionOpened() override { ++opened; }
    void ShowError(const std::string& Text, const std::string& Caption) override {
        errors.push_back(Caption + ": " + Text);
        if (onError) onError();
    }
    void ReportPortFailure(const std::string& Message) override { errors.push_back(Message); }
    void Clear() { lines.clear(); all.clear(); errors.clear(); }

    Lines lines, errors;
    std::string all, status;
    std::function<void()> onError;  // the user's answer to a box: closing the window, say
    int opened = 0;
    std::size_t turn = 0, largestTurn = 0;
};

// A session listening on a talk port of its own, whose outgoing sessions go to
// `peer`, a listener the test controls. Failures reach it from the
// application's handler, as in the program. Host names ending ".stuck" wait
// until released; those ending ".invalid" do not resolve.
struct SessionRig {
    SessionRig() {
        THostLookup::SetResolver([seams = THostLookup::SetResolver({})](const std::string& Host) {
            return Host.ends_with(".invalid") ? THostLookup::TResult{EAI_NONAME, 0} : seams(Host);
        });
        session.Client()->SetPort(peer.port);
        session.Listen();
    }
    ~SessionRig() { session.Teardown(); SetExceptionHandler(previous); }

    // A caller on the talk port, once the session has taken it.
    std::unique_ptr<RawClient> Call() {
        auto client = std::make_unique<RawClient>(talkPort);
        EXPECT_TRUE(WaitUntil([&] { return view.opened > 0 && !view.lines.empty(); }));
        return client;
    }
    // Connects to the peer until connected.
    void ConnectOut() {
        session.Connect("127.0.0.1");
        ASSERT_TRUE(WaitUntil([&] { return view.status.starts_with("Connected to "); }));
    }

    nettest::TResolverSeams seams;
    int talkPort = testsupport::FreeTcpPort();
    testsupport::RawListener peer;
    RecordingTalkView view;
    TExceptionEvent previous = SetExceptionHandler([this](QObject* Sender, const Exception& E) {
        if (!session.HandleFailure(Sender, E, false)) ADD_FAILURE() << E.Message();
    });
    TTalkSession session{view, "127.0.0.1", talkPort};
};

TEST(TalkSession, OutgoingSessionAndBeingRefused) {
    SessionRig r;
    EXPECT_FALSE(r.session.Send("kept")) << "no session";
    r.ConnectOut();
    EXPECT_EQ(r.view.status, "Connected to " + Local);
    EXPECT_EQ(r.view.opened, 1);
    EXPECT_FALSE(r.session.Server()->Active()) << "no listening during an outgoing session";
    EXPECT_TRUE(KeepsAlive(r.session.Client()->Connection()->Handle()));
    EXPECT_TRUE(r.session.Send("hello"));
    ASSERT_TRUE(r.peer.WaitFor(0, 5));
    EXPECT_EQ(r.peer.peers[0].got, "hello");

    // The callee already talks to someone else: its refusal, then its close.
    r.peer.Reply(0, Refusal());
    r.peer.Close(0);
    ASSERT_TRUE(WaitUntil([&] { return r.view.status == "Listening for a connection..."; }));
    EXPECT_EQ(r.view.lines, (Lines{Bold("Connected to " + Local), Refusal(),
                                   Bold("Disconnected from " + Local)}));
    EXPECT_TRUE(r.session.Server()->Active());
    EXPECT_TRUE(r.view.errors.empty());
}

// A resolver that never answers holds up neither the session nor the order of
// its lines: once the bound has passed the caller is named by its address
// alone, and what it sent follows that line.
TEST(TalkSession, ACallerWhoseNameNeverComesIsNamedInItsPlaceWithoutWaiting) {
    SessionRig r;
    ReverseLookup::SetResolver([stuck = r.seams.Reverse](uint32_t) {
        stuck->Wait();
        return std::string("late");
    });
    testsupport::EventLoopGap gap;
    RawClient caller(r.talkPort);
    caller.Send("hello");
    EXPECT_TRUE(WaitUntil([&] { return r.view.lines.size() >= 2; }));
    EXPECT_EQ(r.view.lines, (Lines{Bold("Connected to  (127.0.0.1)"), "hello"}));
    EXPECT_LT(gap.Longest(), 900) << "the session waited for the name";
}

TEST(TalkSession, ACharacterSplitInTransitShowsWhole) {
    // Each part is read by the session before the next is sent; holdMs is long
    // where the rest must be waited for whatever the load.
    struct Case { const char* name; Lines parts, lines; int holdMs; };
    std::string emoji = "x";  // emoji off their boundaries by one
    for (int i = 0; i < 100000; ++i) emoji += "\xF0\x9F\x98\x80";
    const std::string full = emoji.substr(0, TTalkSession::ReadBufferSize + 1);
    const Case cases[] = {
        {"two-byte", {"caf\xC3", "\xA9 ok"}, {"caf\xC3\xA9 ok"}, 60000},
        {"four-byte, one and three", {"\xF0", "\x9F\x98\x80"}, {"\xF0\x9F\x98\x80"}, 60000},
        {"Windows-1252 ending in a lead byte", {"caf\xE9"}, {"caf\xE9"}, 50},
        {"whole reads stay lines of their own", {"one", "two"}, {"one", "two"}, 60000},
        {"a whole two-byte character at the end shows at once", {"caf\xC3\xA9"}, {"caf\xC3\xA9"},
         60000},
        {"a full read shows at once but its cut character", {full},
         {full.substr(0, full.size() - 4), full.substr(full.size() - 4)}, 60000},
    };
    SessionRig r;
    auto a = r.Call();
    TSocketConnection* session = r.session.Server()->ConnectionAt(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.view.Clear();
        r.session.SetHoldTime(c.holdMs);
        for (const std::string& part : c.parts) {
            a->Send(part);
            ASSERT_TRUE(WaitUntil([&] {
                int pending = 1;
                ::ioctl(session->Handle(), FIONREAD, &pending);
                return pending == 0;
            }));
        }
        ASSERT_TRUE(WaitUntil([&] { return r.view.lines.size() >= c.lines.size(); }));
        testsupport::ProcessEventsFor(50);
        EXPECT_EQ(r.view.lines, c.lines);
    }

    // Emoji without pause: wherever a read ends, none is split.
    r.view.Clear();
    a->Send(emoji);
    ASSERT_TRUE(WaitUntil(
        [&] { return !a->Pump() && a->pending.empty() && r.view.all.size() >= emoji.size(); }));
    EXPECT_TRUE(r.view.all == emoji);
    EXPECT_TRUE(std::all_of(r.view.lines.begin(), r.view.lines.end(), IsValidUtf8));

    // A session that ends shows what it held before its last line.
    r.view.Clear();
    a->Send("caf\xC3");
    a.reset();
    ASSERT_TRUE(WaitUntil([&] { return r.view.status == "Listening for a connection..."; }));
    EXPECT_EQ(r.view.lines, (Lines{"caf\xC3", Bold("Disconnected from " + Local)}));
}

TEST(TalkSession, ASecondCallerIsRefusedAndTheSessionGoesOn) {
    SessionRig r;
    auto a = r.Call();
    EXPECT_EQ(r.view.status, "Connected to " + Local);
    EXPECT_TRUE(KeepsAlive(r.session.Server()->ConnectionAt(0)->Handle()));
    RawClient b(r.talkPort);
    ASSERT_TRUE(b.WaitClosed());
    EXPECT_EQ(b.got, Refusal()) << "the refusal comes before the close";
    EXPECT_EQ(b.error, 0);

    const Lines expected{Bold("Connected to " + Local),
                         Bold("\r\nReceived a connection request from " + Local + ".")};
    ASSERT_TRUE(WaitUntil([&] { return r.view.lines == expected; }));
    testsupport::ProcessEventsFor(100);  // the refused caller's release
    EXPECT_EQ(r.view.lines, expected) << "a refused caller's close writes nothing";
    EXPECT_EQ(r.view.status, "Connected to " + Local);
    EXPECT_EQ(r.view.opened, 1);

    a->Send("still here");
    ASSERT_TRUE(WaitUntil([&] { return r.view.lines.back() == "still here"; }));
    r.session.Send("yes");
    ASSERT_TRUE(WaitUntil([&] { return !a->Pump() && a->got == "yes"; }));
    r.session.Disconnect();
    EXPECT_TRUE(a->WaitClosed()) << "Disconnet ends a caller's session too";
}

TEST(TalkSession, ACallerDuringAnOutgoingSessionIsRefused) {
    SessionRig r;
    r.ConnectOut();
    // Connect again: closing the first session listens again, and stays so.
    r.session.Connect("slow.stuck");
    ASSERT_TRUE(r.session.Server()->Active());
    // A caller while that connect is under way, then one during its session.
    for (const bool connecting : {true, false}) {
        SCOPED_TRACE(connecting);
        if (!connecting) {
            r.seams.Stuck->Release();
            ASSERT_TRUE(WaitUntil([&] {
                r.peer.Pump();
                return r.peer.peers.size() == 2 && !r.session.Connecting();
            }));
        }
        const std::size_t before = r.view.lines.size();
        RawClient caller(r.talkPort);
        ASSERT_TRUE(caller.WaitClosed());
        EXPECT_EQ(caller.got, Refusal());
        ASSERT_TRUE(WaitUntil([&] { return r.view.lines.size() == before + 1; }));
    }
    EXPECT_EQ(r.view.status, "Connected to " + Local);
    r.session.Send("to the callee");
    ASSERT_TRUE(r.peer.WaitFor(1, 13));
    EXPECT_EQ(r.peer.peers[1].got, "to the callee");
}

TEST(TalkSession, FailedAttempts) {
    // lines: what shows before the box.
    struct Case { const char* name; std::string host; bool refused; std::string box; Lines lines; };
    const Lines disconnected{Bold("Disconnected from  ()")};
    const Case cases[] = {
        {"refused by a port nobody listens on", "127.0.0.1", true,
         "Talk: Error connecting to 127.0.0.1 (" + std::to_string(ECONNREFUSED) + ")", {}},
        {"name that does not resolve", "nowhere.invalid", false,
         "Talk: Error connecting to nowhere.invalid (-1)", disconnected},
        {"empty host", "", false, "Talk: Error connecting to  (-1)", disconnected},
    };
    SessionRig r;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.view.Clear();
        r.session.Client()->SetPort(c.refused ? testsupport::FreeTcpPort() : r.peer.port);
        r.session.Connect(c.host);
        ASSERT_TRUE(WaitUntil([&] { return !r.view.errors.empty(); }));
        EXPECT_EQ(r.view.errors, Lines{"Wexlo - Error: " + c.box});
        EXPECT_FALSE(r.session.Connecting());
        EXPECT_EQ(r.view.status, "Listening for a connection...");
        EXPECT_EQ(r.view.lines, c.lines);
    }
    // The window closed while the box was up: the port stays closed.
    r.view.onError = [&] { r.session.Teardown(); };
    r.session.Client()->SetPort(testsupport::FreeTcpPort());
    r.session.Connect("127.0.0.1");
    ASSERT_TRUE(WaitUntil([&] { return r.view.errors.size() > 1; }));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in at = testsupport::Address("127.0.0.1", r.talkPort);
    EXPECT_NE(::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ::close(fd);
}

TEST(TalkSession, AnAttemptUnderWay) {
    SessionRig r;
    r.session.Connect("slow.stuck");
    ASSERT_TRUE(WaitUntil([&] { return r.seams.Stuck->CallCount() == 1; }));
    EXPECT_EQ(r.view.status, "Conecting to slow.stuck...");
    r.session.Disconnect();
    EXPECT_TRUE(r.session.Connecting()) << "Disconnet leaves an attempt alone";
    EXPECT_EQ(r.view.status, "Conecting to slow.stuck...");

    // Connect again: the earlier attempt is dropped, only the new one reports.
    r.ConnectOut();
    r.seams.Stuck->Release();
    testsupport::ProcessEventsFor(200);
    r.peer.Pump();
    EXPECT_EQ(r.peer.peers.size(), 1u);
    EXPECT_EQ(r.view.lines, Lines{Bold("Connected to " + Local)});
    EXPECT_TRUE(r.view.errors.empty());
}

TEST(TalkSession, ALineThePeerIsSlowToTakeIsSentWhole) {
    SessionRig r;
    r.ConnectOut();
    // A small send buffer, and a peer that reads only later: the line does not
    // go out in one send.
    const int small = 8192;
    ::setsockopt(r.session.Client()->Connection()->Handle(), SOL_SOCKET, SO_SNDBUF, &small,
                 sizeof small);
    std::string line(256 * 1024, 'x');
    for (std::size_t i = 0; i < line.size(); i += 1000) line[i] = char('a' + i / 1000 % 26);
    r.session.Send(line);
    r.session.Send("end");
    ASSERT_TRUE(r.peer.WaitFor(0, line.size() + 3));
    EXPECT_TRUE(r.peer.peers[0].got == line + "end");

    // What a session that ends has not sent yet is dropped, not sent to the next.
    r.session.Send(line);
    r.session.Disconnect();
    r.ConnectOut();
    r.session.Send("next");
    ASSERT_TRUE(r.peer.WaitFor(1, 4));
    EXPECT_EQ(r.peer.peers[1].got, "next");
}

// A peer sending without pause, whatever its bytes: each turn of the event
// loop shows one read buffer of them at most, as a line of its own, every byte
// in order, and the user can still send.
TEST(TalkSession, APeerFloodingLinesCannotStallTheSession) {
    std::string lines, endless, invalid;
    for (int i = 0; i < 50000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    for (int i = 0; endless.size() < (9u << 17); ++i) endless += std::to_string(i) + ' ';
    while (invalid.size() < (1u << 19)) invalid += "\xFF\xC3(";
    const std::pair<const char*, std::string> cases[] = {
        {"many short lines", lines}, {"one line without end", endless},
        {"NUL bytes", std::string(1u << 19, '\0')}, {"one letter", std::string(1u << 19, 'A')},
        {"invalid UTF-8", invalid}};
    SessionRig r;
    auto a = r.Call();
    QTimer turns;
    QObject::connect(&turns, &QTimer::timeout, [&] { r.view.turn = 0; });
    turns.start(0);
    for (const auto& [name, flood] : cases) {
        SCOPED_TRACE(name);
        r.view.Clear();
        a->got.clear();
        r.view.largestTurn = 0;
        a->Send(flood);
        bool typed = false;
        QTimer::singleShot(10, &r.session, [&] { typed = r.session.Send("typed meanwhile"); });
        const auto sent = [&] { return !a->Pump() && typed && r.view.all.size() >= flood.size(); };
        ASSERT_TRUE(WaitUntil(sent, 120000));
        ASSERT_TRUE(WaitUntil([&] { return !a->Pump() && a->got == "typed meanwhile"; }));
        EXPECT_TRUE(r.view.all == flood) << "every byte, in order";
        EXPECT_LE(r.view.largestTurn, 2 * TTalkSession::ReadBufferSize) << "one turn, one read";
        EXPECT_EQ(std::ranges::max(r.view.lines, {}, &std::string::size).size(),
                  TTalkSession::ReadBufferSize)
            << "a read is one line";
        EXPECT_EQ(r.view.status, "Connected to " + Local);
        EXPECT_TRUE(r.view.errors.empty());
    }
}

}  // namespace
