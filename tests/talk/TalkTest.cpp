// The talk window as the tray opens it, against raw loopback peers: a second
// talk window in this process could not be reached, since a caller dials its
// own talk port. Two real copies talk in scripts/two-hosts-demo.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "talk/Talk.h"
#include "tests/app/MainTestSupport.h"
#include "ui/SendMessage.h"

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

std::string Status(const TfTalk& W) {
    return W.StatusText().toStdString();
}

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
        if (window) window->Session().Client()->SetPort(peer.port);
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

    int talkPort = testsupport::FreeTcpPort();
    MainHarness h;
    RawListener peer;
    TfTalk* window = nullptr;
};

TEST(Talk, OpenedFromTheTrayLaidOutAndListening) {
    TalkRig r(TStringList{});
    ASSERT_NE(r.window, nullptr);
    TfTalk& w = r.w();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(Title(&w), "Wexlo - Talk window");
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.Session().RemoteHost(), "") << "no recent host: an empty peer";
    EXPECT_EQ(Status(w), "Listening for a connection...");
    EXPECT_TRUE(w.Session().Server()->Active());
    EXPECT_EQ(w.focusWidget(), w.btnConnect);

    // Scaled to the font in use: captions fit, nothing overlaps.
    EXPECT_GE(w.width(), 547);
    const QPoint middle = w.screen()->availableGeometry().center();
    EXPECT_LE((w.geometry().center() - middle).manhattanLength(), 8) << "opens mid-screen";
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
    r.Type("kept");
    EXPECT_EQ(r.Sent(), (Rows{"*Not connected*", ""}));
    EXPECT_EQ(w.edSendText->text(), "kept") << "no session: the line stays";
    w.btnClearSent->click();

    auto a = r.Call();
    EXPECT_EQ(Status(w), "Connected to " + Local);
    EXPECT_EQ(r.Received(), (Rows{"*Connected to " + Local + "*", ""}));
    EXPECT_EQ(w.focusWidget(), w.edSendText);

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
    ASSERT_TRUE(WaitUntil([&] { return !a->Pump() && a->got.size() >= 8; }));
    EXPECT_EQ(a->got, "caf\xC3\xA9two");

    a.reset();  // the peer ends the session
    ASSERT_TRUE(WaitUntil([&] { return Status(w) == "Listening for a connection..."; }));
    EXPECT_EQ(r.Received().end()[-2], "*Disconnected from " + Local + "*");
    EXPECT_TRUE(r.h.boxes.boxes.empty());
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
        for (const auto& q : r.h.inputs.queries)
            EXPECT_EQ(
                std::tie(q.caption, q.prompt, q.value),
                std::tuple("Connect to", "Name or direction of the remote machine:", "127.0.0.1"))
                << "the recent host";
        if (c.kept) {
            EXPECT_EQ(Status(r.w()), "Connected to " + Local);
            a->Send("on");
            ASSERT_TRUE(WaitUntil([&] { return r.Received().back() == "on"; }));
            continue;
        }
        EXPECT_TRUE(a->WaitClosed()) << "the peer sees the session end";
        ASSERT_TRUE(WaitUntil([&] {
            r.peer.Pump();
            return r.peer.peers.size() == 1 && !r.w().Session().Connecting();
        }));
        EXPECT_EQ(Status(r.w()), "Connected to " + Local);
        auto expected = lines;
        expected.insert(expected.end(), {"*Connected to " + Local + "*", ""});
        EXPECT_EQ(r.Received(), expected) << "no line for the session closed here";
    }
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
    EXPECT_FALSE(w.Session().Server()->Active());
    EXPECT_EQ(Status(w), "");
    EXPECT_TRUE(w.isVisible());

    // Outgoing sessions still work; when one ends, listening fails again: the
    // talk port's failures show one box a minute, the rest go to the session
    // log. The window stays with its conversation.
    w.btnConnect->click();
    ASSERT_TRUE(r.peer.WaitFor(0, 0));
    ASSERT_TRUE(WaitUntil([&] { return Status(w) == "Connected to " + Local; }));
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
    // A message send in progress is not the talk window's affair.
    r.h->Sender().FSending = true;
    r.h.inputs.SetNextAnswers({""});
    w.btnConnect->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Session().Connecting(); }));
    testsupport::ProcessEventsFor(100);
    EXPECT_TRUE(r.h->Sender().FSending);
    r.h->Sender().FSending = false;
    ASSERT_EQ(r.h.boxes.boxes.size(), 2u);
    const auto& box = r.h.boxes.boxes[1];
    EXPECT_EQ(std::tie(box.text, box.caption, box.icon),
              std::tuple("Talk: Error connecting to  (-1)", "Wexlo - Error", TMsgIcon::Error));
}

// Any peer can make the talk port fail by the thousand: one box a minute.
TEST(Talk, CallersThatResetAtOnceShowOneBox) {
    TalkRig r;
    for (int i = 0; i < 20; ++i) RawClient(r.talkPort).Reset();
    ASSERT_TRUE(WaitUntil([&] { return r.h.boxes.boxes.size() + r.Logged("Unexpected") >= 10; }));
    EXPECT_EQ(r.h.boxes.boxes.size(), 1u);
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

    // Long rows go past MaxChars, oldest first; NUL and bytes that are not
    // UTF-8 show readably.
    TTalkPane pane;
    const std::string row(TTalkPane::MaxChars / 2, 'A');
    for (int i = 0; i < 3; ++i) pane.AppendLine(row, false);
    pane.AppendLine(std::string("a\0b\xFF\xC3(", 6), false);
    EXPECT_LE(pane.document()->characterCount(), TTalkPane::MaxChars + 1);
    EXPECT_EQ(Lines(&pane), (Rows{row, "a\xEF\xBF\xBD" "b\xC3\xBF\xC3\x83("}));
}

}  // namespace
