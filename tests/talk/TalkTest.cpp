// The talk window as the tray opens it, against raw loopback peers: a second
// talk window in this process could not be reached, since a caller dials its
// own talk port. Two real copies talk in scripts/two-hosts-demo.
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>

#include "ui/SendMessage.h"
#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "net/HostLookup.h"
#include "net/ReverseLookup.h"
#include "talk/Talk.h"
#include "tests/app/MainTestSupport.h"
#include "tests/net/NetTestSupport.h"

namespace {

using namespace maintest;
using Answers = std::initializer_list<TMsgResult>;

using Rows = std::vector<std::string>;

const std::string Local = "localhost (127.0.0.1)";

// A pane's lines as shown, bold ones between asterisks.
Rows Lines(const TTalkPane* Pane) {
    Rows lines;
    for (QTextBlock b = Pane->document()->begin(); b.isValid(); b = b.next()) {
        const std::string text = b.text().toStdString();
        const bool bold =
            b.begin() != b.end() && b.begin().fragment().charFormat().fontWeight() >= QFont::Bold;
        lines.push_back(bold ? "*" + text + "*" : text);
    }
    if (lines == Rows{""}) lines.clear();
    return lines;
}

std::string WithoutBreaks(std::string Text) {
    std::erase_if(Text, [](char c) { return c == '\r' || c == '\n'; });
    return Text;
}

std::string Status(const TfTalk& W) {
    return W.StatusText().toStdString();
}

std::string Refusal() {
    char host[257] = {};
    ::gethostname(host, 256);
    return std::string("Error from ") + host +
           " (127.0.0.1): This machine have another connection already active.\r\n";
}

bool KeepsAlive(int Fd) {
    int on = 0, idle = 0;
    socklen_t len = sizeof on;
    ::getsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    len = sizeof idle;
    ::getsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
    return on && idle > 0 && idle <= 120;
}

// Forward lookups: names ending ".stuck" wait until released, then give
// 127.0.0.1; names ending ".invalid" do not resolve; others as the system says.
struct Resolvers {
    Resolvers() {
        THostLookup::SetResolver([stuck = stuck](const std::string& host) {
            if (host.ends_with(".stuck")) {
                stuck->Wait();
                return THostLookup::ResolveWithSystem("127.0.0.1");
            }
            if (host.ends_with(".invalid")) return THostLookup::TResult{EAI_NONAME, 0};
            return THostLookup::ResolveWithSystem(host);
        });
    }
    ~Resolvers() {
        stuck->Release();
        THostLookup::SetResolver(nullptr);
    }
    std::shared_ptr<nettest::TStuckResolver> stuck = std::make_shared<nettest::TStuckResolver>();
};

// A main form with the talk window open on a talk port of its own; its
// outgoing sessions go to `peer`, a listener the test controls.
struct TalkRig {
    explicit TalkRig(TStringList RecentHosts = {"127.0.0.1"}, int TalkPort = 0) {
        if (TalkPort) talkPort = TalkPort;
        h.settings["Talk Port"] = Dword(static_cast<unsigned>(talkPort));
        TfMain& form = h.Start();
        form.FRecentHosts = std::move(RecentHosts);
        form.mnOpenTalkClick();
        window = fTalk;
        if (window) window->Client()->SetPort(peer.port);
    }

    TfTalk& w() { return *window; }
    // Session log lines that hold Part.
    std::size_t Logged(const std::string& Part) {
        return std::count_if(h->FSessionLog.begin(), h->FSessionLog.end(),
                             [&](const std::string& l) { return l.find(Part) != l.npos; });
    }
    Rows Received() { return Lines(window->redReceived); }
    Rows Sent() { return Lines(window->redSent); }

    // Types Text and presses Enter in the field, as the user does.
    void Type(const std::string& Text) {
        window->edSendText->setText(QString::fromStdString(Text));
        QTest::keyClick(window->edSendText, Qt::Key_Return);
    }

    // A caller on the talk port, once the window has taken it.
    std::unique_ptr<RawClient> Call() {
        const std::size_t lines = Received().size();
        auto client = std::make_unique<RawClient>(talkPort);
        EXPECT_TRUE(WaitUntil([&] { return Received().size() > lines; }));
        return client;
    }

    // Connect, answered with Host in the "Connect to" box, until connected.
    void ConnectOut(const std::string& Host = "127.0.0.1") {
        h.inputs.SetNextAnswers({Host});
        const std::size_t before = peer.peers.size();
        window->btnConnect->click();
        ASSERT_TRUE(WaitUntil([&] {
            peer.Pump();
            return peer.peers.size() > before && !window->Connecting() &&
                   Status(*window).starts_with("Connected to ");
        }));
    }

    int talkPort = testsupport::FreeTcpPort();
    MainHarness h;
    RawListener peer;
    Resolvers resolvers;
    TfTalk* window = nullptr;
};

TEST(Talk, OpenedFromTheTrayLaidOutAndListening) {
    TalkRig r(TStringList{});
    ASSERT_NE(r.window, nullptr);
    TfTalk& w = r.w();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(Title(&w), "Wexlo - Talk window");
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.RemoteHost(), "") << "no recent host: an empty peer";
    EXPECT_EQ(Status(w), "Listening for a connection...");
    EXPECT_TRUE(w.Server()->Active());
    EXPECT_EQ(w.focusWidget(), w.btnConnect);

    // Scaled to the font in use: captions fit, nothing overlaps.
    EXPECT_GE(w.width(), 547);
    EXPECT_LT(w.lblTextToSend->geometry().right(), w.edSendText->x());
    for (QPushButton* b : {w.btnConnect, w.btnDisconnet, w.btnSendMessage, w.btnExit})
        EXPECT_LE(b->sizeHint().width(), b->width()) << b->text().toStdString();
    EXPECT_EQ(w.StatusBar->geometry().bottom(), w.height() - 1);

    // A hint shows in the status bar while the pointer is over its button.
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(w.btnClearSent, &enter);
    EXPECT_EQ(w.StatusBar->currentMessage(), "Clear sent text");
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w.btnClearSent, &leave);
    EXPECT_EQ(w.StatusBar->currentMessage(), "");

    r.h->mnOpenTalkClick();
    EXPECT_EQ(fTalk, r.window) << "a second choice opens nothing";

    w.btnSendMessage->click();
    EXPECT_NE(fSendMessage, nullptr);
    delete fSendMessage;
    EXPECT_TRUE(r.h.boxes.boxes.empty());
}

TEST(Talk, IncomingSessionBothWays) {
    TalkRig r;
    TfTalk& w = r.w();
    auto a = r.Call();
    EXPECT_EQ(Status(w), "Connected to " + Local);
    EXPECT_EQ(r.Received(), (Rows{"*Connected to " + Local + "*", ""}));
    EXPECT_TRUE(KeepsAlive(w.Server()->ConnectionAt(0)->Handle()));

    // Whatever arrives is plain text, and a line break starts a new line.
    a->Send("<b>Hi</b> &amp;\r\nsecond");
    ASSERT_TRUE(WaitUntil([&] { return r.Received().size() == 4; }));
    EXPECT_EQ(r.Received()[2], "<b>Hi</b> &amp;");
    EXPECT_EQ(r.Received()[3], "second");
    for (int i = 0; i < 40; ++i) w.AddStatusLine("line", w.redReceived);
    EXPECT_GT(w.redReceived->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(w.redReceived->textCursor().atEnd());
    EXPECT_TRUE(w.redReceived->viewport()->rect().contains(w.redReceived->cursorRect()))
        << "the pane follows its newest line";

    // Lines go out as typed, in UTF-8, with nothing added: two quick ones
    // run together. An empty line sends nothing.
    r.Type("caf\xC3\xA9");
    r.Type("");
    r.Type("two");
    EXPECT_EQ(r.Sent(), (Rows{"caf\xC3\xA9", "", "two"}));
    EXPECT_TRUE(w.edSendText->text().isEmpty());
    ASSERT_TRUE(WaitUntil([&] {
        a->Pump();
        return a->got.size() >= 8;
    }));
    EXPECT_EQ(a->got, "caf\xC3\xA9two");

    a.reset();  // the peer ends the session
    ASSERT_TRUE(WaitUntil([&] { return Status(w) == "Listening for a connection..."; }));
    EXPECT_EQ(r.Received().end()[-2], "*Disconnected from " + Local + "*");
    EXPECT_TRUE(r.h.boxes.boxes.empty());
}

// A resolver that never answers holds up neither the window nor the order of
// its lines: once the bound has passed the caller is named by its address
// alone, and what it sent follows that line.
TEST(Talk, ACallerWhoseNameNeverComesIsNamedInItsPlaceWithoutWaiting) {
    TalkRig r;
    auto stuck = std::make_shared<nettest::TStuckResolver>();
    ReverseLookup::Forget();
    ReverseLookup::SetResolver([stuck](uint32_t) {
        stuck->Wait();
        return std::string("late");
    });
    r.w();
    qint64 longestGap = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    ticker.start(10);
    RawClient caller(r.talkPort);
    caller.Send("hello");
    EXPECT_TRUE(WaitUntil([&] { return r.Received().size() >= 3; }));
    EXPECT_EQ(r.Received(), (Rows{"*Connected to  (127.0.0.1)*", "", "hello"}));
    EXPECT_LT(longestGap, 900) << "the window waited for the name";
    stuck->Release();
    ReverseLookup::SetResolver(nullptr);
    ReverseLookup::Forget();
}

TEST(Talk, ACharacterSplitInTransitShowsWhole) {
    // Each part is read by the window before the next is sent; holdMs is long
    // where the rest must be waited for whatever the load.
    struct Case { const char* name; Rows parts, lines; int holdMs; };
    const Case cases[] = {
        {"two-byte", {"caf\xC3", "\xA9 ok"}, {"caf\xC3\xA9 ok"}, 60000},
        {"four-byte, one and three", {"\xF0", "\x9F\x98\x80"}, {"\xF0\x9F\x98\x80"}, 60000},
        {"Windows-1252 ending in a lead byte", {"caf\xE9"}, {"caf\xC3\xA9"}, 50},
        {"whole reads stay lines of their own", {"one", "two"}, {"one", "two"}, 60000},
        {"a whole two-byte character at the end shows at once", {"caf\xC3\xA9"}, {"caf\xC3\xA9"},
         60000},
    };
    TalkRig r;
    auto a = r.Call();
    TSocketConnection* session = r.w().Server()->ConnectionAt(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.w().btnClearReceived->click();
        r.w().SetHoldTime(c.holdMs);
        for (const std::string& part : c.parts) {
            a->Send(part);
            ASSERT_TRUE(WaitUntil([&] {
                int pending = 1;
                ::ioctl(session->Handle(), FIONREAD, &pending);
                return pending == 0;
            }));
        }
        ASSERT_TRUE(WaitUntil([&] { return r.Received().size() >= c.lines.size(); }));
        testsupport::ProcessEventsFor(50);
        EXPECT_EQ(r.Received(), c.lines);
    }

    // Emoji without pause, off their boundaries by one: wherever a read or a
    // row ends, none is split.
    r.w().btnClearReceived->click();
    std::string emoji = "x";
    for (int i = 0; i < 100000; ++i) emoji += "\xF0\x9F\x98\x80";
    a->Send(emoji);
    std::string shown;
    ASSERT_TRUE(WaitUntil([&] {
        a->Pump();
        shown.clear();
        for (const std::string& line : r.Received()) shown += line;
        return a->pending.empty() && shown.size() >= emoji.size();
    }));
    EXPECT_TRUE(shown == emoji);
}

TEST(Talk, ASecondCallerIsRefusedAndTheSessionGoesOn) {
    TalkRig r;
    auto a = r.Call();
    const auto before = r.Received();
    RawClient b(r.talkPort);
    ASSERT_TRUE(b.WaitClosed());
    EXPECT_EQ(b.got, Refusal()) << "the refusal comes before the close";
    EXPECT_EQ(b.error, 0);

    auto expected = before;
    for (const std::string& line :
         {std::string(), "*Received a connection request from " + Local + ".*", std::string()})
        expected.push_back(line);
    ASSERT_TRUE(WaitUntil([&] { return r.Received() == expected; }));
    testsupport::ProcessEventsFor(100);  // the refused caller's release
    EXPECT_EQ(r.Received(), expected) << "a refused caller's close writes nothing";
    EXPECT_EQ(Status(r.w()), "Connected to " + Local);

    a->Send("still here");
    ASSERT_TRUE(WaitUntil([&] { return r.Received().back() == "still here"; }));
    r.Type("yes");
    ASSERT_TRUE(WaitUntil([&] {
        a->Pump();
        return a->got == "yes";
    }));
}

TEST(Talk, OutgoingSessionAndBeingRefused) {
    TalkRig r;
    TfTalk& w = r.w();
    r.Type("kept");
    EXPECT_EQ(r.Sent(), (Rows{"*Not connected*", ""}));
    EXPECT_EQ(w.edSendText->text(), "kept") << "no session: the line stays";
    w.btnClearSent->click();

    r.ConnectOut();
    ASSERT_EQ(r.h.inputs.queries.size(), 1u);
    EXPECT_EQ(r.h.inputs.queries[0].caption, "Connect to");
    EXPECT_EQ(r.h.inputs.queries[0].prompt, "Name or direction of the remote machine:");
    EXPECT_EQ(r.h.inputs.queries[0].value, "127.0.0.1") << "the recent host";
    EXPECT_EQ(Status(w), "Connected to " + Local);
    EXPECT_FALSE(w.Server()->Active()) << "no listening during an outgoing session";
    EXPECT_TRUE(KeepsAlive(w.Client()->Connection()->Handle()));

    r.Type("hello");
    ASSERT_TRUE(r.peer.WaitFor(0, 5));
    EXPECT_EQ(r.peer.peers[0].got, "hello");
    EXPECT_EQ(r.Sent(), (Rows{"hello"}));

    // The callee already talks to someone else: its refusal, then its close.
    r.peer.Reply(0, Refusal());
    r.peer.Close(0);
    ASSERT_TRUE(WaitUntil([&] { return Status(w) == "Listening for a connection..."; }));
    EXPECT_EQ(r.Received(), (Rows{"*Connected to " + Local + "*", "",
                                  Refusal().substr(0, Refusal().size() - 2), "",
                                  "*Disconnected from " + Local + "*", ""}));
    EXPECT_TRUE(w.Server()->Active());
    EXPECT_TRUE(r.h.boxes.boxes.empty());
}

TEST(Talk, ACallerDuringAnOutgoingSessionIsRefused) {
    TalkRig r;
    r.ConnectOut();
    // Connect again: closing the first session listens again, and stays so.
    r.h.boxes.SetNextAnswers({TMsgResult::Yes});
    r.h.inputs.SetNextAnswers({"slow.stuck"});
    r.w().btnConnect->click();
    ASSERT_TRUE(r.w().Server()->Active());
    // A caller while that connect is under way, then one during its session.
    for (const bool connecting : {true, false}) {
        SCOPED_TRACE(connecting);
        if (!connecting) {
            r.resolvers.stuck->Release();
            ASSERT_TRUE(WaitUntil([&] {
                r.peer.Pump();
                return r.peer.peers.size() == 2 && !r.w().Connecting();
            }));
        }
        const auto before = r.Received();
        RawClient caller(r.talkPort);
        ASSERT_TRUE(caller.WaitClosed());
        EXPECT_EQ(caller.got, Refusal());
        ASSERT_TRUE(WaitUntil([&] { return r.Received().size() == before.size() + 3; }));
    }
    EXPECT_EQ(Status(r.w()), "Connected to " + Local);
    r.Type("to the callee");
    ASSERT_TRUE(r.peer.WaitFor(1, 13));
    EXPECT_EQ(r.peer.peers[1].got, "to the callee");
}

TEST(Talk, FailedAttempts) {
    struct Case {
        const char* name;
        std::string host;
        bool refused;  // to a port nobody listens on
        std::string box;
        bool disconnectedLine;  // "Disconnected from  ()" before the box
    };
    const std::string refusedBox =
        "Talk: Error connecting to 127.0.0.1 (" + std::to_string(ECONNREFUSED) + ")";
    const Case cases[] = {
        {"refused", "127.0.0.1", true, refusedBox, false},
        {"name that does not resolve", "nowhere.invalid", false,
         "Talk: Error connecting to nowhere.invalid (-1)", true},
        {"empty host", "", false, "Talk: Error connecting to  (-1)", true},
    };
    TalkRig r;
    TfTalk& w = r.w();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        w.btnClearReceived->click();
        r.h.boxes.boxes.clear();
        w.Client()->SetPort(c.refused ? testsupport::FreeTcpPort() : r.peer.port);
        // A message send in progress is not the talk window's affair.
        r.h->Sender().FSending = true;
        r.h.inputs.SetNextAnswers({c.host});
        w.btnConnect->click();
        ASSERT_TRUE(WaitUntil([&] { return !r.h.boxes.boxes.empty(); }));
        EXPECT_TRUE(r.h->Sender().FSending);
        r.h->Sender().FSending = false;
        ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
        const auto& box = r.h.boxes.boxes[0];
        EXPECT_EQ(std::tie(box.text, box.caption, box.icon),
                  std::tuple(c.box, "Wexlo - Error", TMsgIcon::Error));
        EXPECT_FALSE(w.Connecting());
        EXPECT_EQ(Status(w), "Listening for a connection...");
        const Rows none, disconnected{"*Disconnected from  ()*", ""};
        EXPECT_EQ(r.Received(), c.disconnectedLine ? disconnected : none);
    }
}

TEST(Talk, ConnectDuringAnIncomingSession) {
    struct Case {
        const char* name;
        Answers question;
        std::optional<std::string> host;  // the "Connect to" answer; nullopt: Cancel
        bool asked, kept;
    };
    const Case cases[] = {
        {"No", {TMsgResult::No}, "127.0.0.1", false, true},
        {"Yes, then Cancel", {TMsgResult::Yes}, std::nullopt, true, true},
        {"Yes, then a host", {TMsgResult::Yes}, "127.0.0.1", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TalkRig r;
        auto a = r.Call();
        const auto lines = r.Received();
        r.h.boxes.SetNextAnswers(c.question);
        r.h.inputs.SetNextAnswers({c.host});
        r.w().btnConnect->click();
        ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
        const auto& box = r.h.boxes.boxes[0];
        EXPECT_EQ(std::tie(box.text, box.caption, box.icon, box.buttons),
                  std::tuple("Close the current connection?", "Warning", TMsgIcon::Warning,
                             TMsgButtons::YesNo));
        EXPECT_EQ(r.h.inputs.queries.size(), c.asked ? 1u : 0u);
        if (c.kept) {
            EXPECT_EQ(Status(r.w()), "Connected to " + Local);
            a->Send("on");
            ASSERT_TRUE(WaitUntil([&] { return r.Received().back() == "on"; }));
            continue;
        }
        EXPECT_TRUE(a->WaitClosed()) << "the peer sees the session end";
        ASSERT_TRUE(WaitUntil([&] {
            r.peer.Pump();
            return r.peer.peers.size() == 1 && !r.w().Connecting();
        }));
        EXPECT_EQ(Status(r.w()), "Connected to " + Local);
        auto expected = lines;
        expected.insert(expected.end(), {"*Connected to " + Local + "*", ""});
        EXPECT_EQ(r.Received(), expected) << "no line for the session closed here";
    }
}

TEST(Talk, AnAttemptUnderWay) {
    TalkRig r;
    TfTalk& w = r.w();
    r.h.inputs.SetNextAnswers({"slow.stuck"});
    w.btnConnect->click();
    ASSERT_TRUE(WaitUntil([&] { return r.resolvers.stuck->CallCount() == 1; }));
    EXPECT_EQ(Status(w), "Conecting to slow.stuck...");
    w.btnDisconnet->click();
    EXPECT_TRUE(w.Connecting()) << "Disconnet leaves an attempt alone";
    EXPECT_EQ(Status(w), "Conecting to slow.stuck...");

    // Connect again: the earlier attempt is dropped, only the new one reports.
    r.ConnectOut("127.0.0.1");
    EXPECT_EQ(Status(w), "Connected to " + Local);
    r.resolvers.stuck->Release();
    testsupport::ProcessEventsFor(200);
    r.peer.Pump();
    EXPECT_EQ(r.peer.peers.size(), 1u);
    EXPECT_EQ(r.Received(), (Rows{"*Connected to " + Local + "*", ""}));
    EXPECT_TRUE(r.h.boxes.boxes.empty());
}

TEST(Talk, ClosingTheWindowDuringASession) {
    enum How { ExitTalk, CloseBox, ProgramExit };
    for (How how : {ExitTalk, CloseBox, ProgramExit}) {
        SCOPED_TRACE(how);
        TalkRig r;
        auto a = r.Call();
        const QPointer<TfTalk> window(r.window);
        const auto lines = r.Received();
        if (how == ExitTalk) r.w().btnExit->click();
        if (how == CloseBox) r.w().close();
        if (how == ProgramExit) r.h.Stop();
        EXPECT_EQ(fTalk, nullptr);
        if (window) {
            EXPECT_EQ(Lines(window->redReceived), lines) << "nothing is written here";
            a->Send("too late");
        }
        EXPECT_TRUE(a->WaitClosed()) << "the peer sees the session end";
        EXPECT_TRUE(WaitUntil([&] { return window.isNull(); }));
        EXPECT_TRUE(r.h.boxes.boxes.empty());
    }
}

TEST(Talk, TalkPortTakenByAnotherProgram) {
    RawListener other("0.0.0.0", testsupport::FreeTcpPort());
    TalkRig r({"127.0.0.1"}, other.port);
    ASSERT_NE(r.window, nullptr);
    TfTalk& w = r.w();
    const std::string inUse = "Unexpected socket error:\rWinsock: Port or address already in use.";
    ASSERT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(r.h.boxes.boxes[0].text, inUse);
    EXPECT_FALSE(w.Server()->Active());
    EXPECT_EQ(Status(w), "");
    EXPECT_TRUE(w.isVisible());

    // Outgoing sessions still work; when one ends, listening fails again: the
    // talk port's failures show one box a minute, the rest go to the session
    // log. The window stays with its conversation.
    r.ConnectOut();
    r.peer.Reply(0, "bye");
    r.peer.Close(0);
    ASSERT_TRUE(WaitUntil([&] { return r.Logged("already in use") == 1; }));
    EXPECT_EQ(r.h.boxes.boxes.size(), 1u);
    EXPECT_EQ(fTalk, &w);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(r.Received(), (Rows{"*Connected to " + Local + "*", "", "bye",
                                  "*Disconnected from " + Local + "*", ""}));
    EXPECT_EQ(Status(w), "");

    // A host that does not resolve: one box, the attempt's, in its own words.
    r.h.inputs.SetNextAnswers({"nowhere.invalid"});
    w.btnConnect->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Connecting(); }));
    testsupport::ProcessEventsFor(100);
    ASSERT_EQ(r.h.boxes.boxes.size(), 2u);
    EXPECT_EQ(r.h.boxes.boxes[1].text, "Talk: Error connecting to nowhere.invalid (-1)");
}

// Any peer can make the talk port fail by the thousand: one box a minute.
TEST(Talk, CallersThatResetAtOnceShowOneBox) {
    TalkRig r;
    for (int i = 0; i < 20; ++i) RawClient(r.talkPort).Reset();
    ASSERT_TRUE(WaitUntil([&] { return r.h.boxes.boxes.size() + r.Logged("Unexpected") >= 10; }));
    EXPECT_EQ(r.h.boxes.boxes.size(), 1u);
}

TEST(Talk, ALineThePeerIsSlowToTakeIsSentWhole) {
    TalkRig r;
    auto a = r.Call();
    // A small send buffer, and a peer that reads only later: the line does not
    // go out in one send.
    const int small = 8192;
    ::setsockopt(r.w().Server()->ConnectionAt(0)->Handle(), SOL_SOCKET, SO_SNDBUF, &small,
                 sizeof small);
    std::string line(256 * 1024, 'x');
    for (std::size_t i = 0; i < line.size(); i += 1000) line[i] = char('a' + i / 1000 % 26);
    r.w().edSendText->setMaxLength(int(line.size()));
    r.Type(line);
    r.Type("end");
    ASSERT_TRUE(WaitUntil(
        [&] {
            a->Pump();
            return a->got.size() >= line.size() + 3;
        },
        20000));
    EXPECT_TRUE(a->got == line + "end");
}

// A peer sending without pause, whatever its bytes: each turn of the event
// loop shows at most about one read buffer of them, the panes stay bounded and
// keep the newest text in order, and the user can still send.
TEST(Talk, APeerFloodingLinesCannotStallTheWindow) {
    // shownTail: how the flood's end shows, line breaks left out.
    struct Case { const char* name; std::string flood, shownTail; };
    std::string lines, endless;
    for (int i = 0; i < 50000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    for (int i = 0; endless.size() < (9u << 17); ++i) endless += std::to_string(i) + ' ';
    std::string invalid;
    while (invalid.size() < (1u << 19)) invalid += "\xFF\xC3(";
    const Case cases[] = {
        {"many short lines", lines, WithoutBreaks(lines.substr(lines.size() - 64))},
        {"one line without end", endless, endless.substr(endless.size() - 64)},
        {"NUL bytes", std::string(1u << 19, '\0'), QString(21, QChar(0xFFFD)).toStdString()},
        {"A without a line break", std::string(1u << 19, 'A'), std::string(64, 'A')},
        {"invalid UTF-8", invalid, "\xC3\xBF\xC3\x83(\xC3\xBF\xC3\x83("},
    };

    TalkRig r;
    auto a = r.Call();
    // What the pane takes in one turn of the event loop.
    qsizetype turn = 0, largestTurn = 0;
    QObject::connect(
        r.w().redReceived->document(), &QTextDocument::contentsChange,
        [&](int, int, int added) { largestTurn = std::max(largestTurn, turn += added); });
    QTimer turns;
    QObject::connect(&turns, &QTimer::timeout, [&] { turn = 0; });
    turns.start(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.w().btnClearReceived->click();
        a->got.clear();
        largestTurn = 0;
        a->Send(c.flood);
        bool typed = false;
        QTimer::singleShot(10, &r.w(), [&] {
            r.Type("typed meanwhile");
            typed = true;
        });
        const auto shown = [&] {
            return WithoutBreaks(r.w().redReceived->toPlainText().toStdString());
        };
        ASSERT_TRUE(WaitUntil(
            [&] {
                a->Pump();
                return typed && a->pending.empty() && shown().ends_with(c.shownTail);
            },
            120000));
        ASSERT_TRUE(WaitUntil([&] {
            a->Pump();
            return a->got == "typed meanwhile";
        }));

        EXPECT_LE(largestTurn, qsizetype(2 * TfTalk::ReadBufferSize))
            << "one turn laid out more than a read";
        EXPECT_LE(r.w().redReceived->document()->blockCount(), TTalkPane::MaxLines);
        EXPECT_LE(r.w().redReceived->document()->characterCount(), TTalkPane::MaxChars + 1);
        if (c.flood == lines || c.flood == endless) {
            const std::string sent = WithoutBreaks(c.flood);
            EXPECT_TRUE(sent.ends_with(shown())) << "the newest text, whole and in order";
            // All of it, or a pane full of rows (a read that splits a line adds one).
            EXPECT_GE(shown().size(),
                      std::min(sent.size(), std::size_t(TTalkPane::MaxLines / 2) * 10));
        }
        EXPECT_EQ(Status(r.w()), "Connected to " + Local);
    }
    EXPECT_TRUE(r.h.boxes.boxes.empty());
}

// However much one read holds, the pane lays out only the rows it keeps.
TEST(Talk, OneHugeReadKeepsTheNewestRows) {
    std::string rows;
    for (int i = 0; i < 2 * TTalkPane::MaxLines; ++i) rows += "r" + std::to_string(i) + "\n";
    const std::string empty(2000000, '\n');
    for (const bool startEmpty : {true, false}) {
        SCOPED_TRACE(startEmpty);
        TTalkPane pane;
        if (!startEmpty) pane.AppendLine("first", true);
        pane.AppendLine(rows, false);
        Rows kept = Lines(&pane);
        ASSERT_EQ(kept.size(), std::size_t(TTalkPane::MaxLines));
        EXPECT_EQ(kept.front(), "r" + std::to_string(TTalkPane::MaxLines + 1));
        EXPECT_EQ(kept.end()[-2], "r" + std::to_string(2 * TTalkPane::MaxLines - 1));
        EXPECT_EQ(kept.back(), "");

        QElapsedTimer took;
        took.start();
        pane.AppendLine(empty, false);
        pane.AppendLine("last", false);
        // Laying out every row took over twenty seconds here (far more under ASan).
#ifdef __SANITIZE_ADDRESS__
        EXPECT_LT(took.elapsed(), 30000);
#else
        EXPECT_LT(took.elapsed(), 5000);
#endif
        EXPECT_EQ(pane.document()->blockCount(), TTalkPane::MaxLines);
        EXPECT_EQ(Lines(&pane).back(), "last");
    }
}

}  // namespace
