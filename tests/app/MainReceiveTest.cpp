// The main form receiving messages over real loopback sockets, from raw
// clients and from the real wexlo-send tool: the wiring of the receiving core
// (tests/messaging) to the form's windows, tray, options and error reports.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include "app/SocketErrorReport.h"
#include "net/AsyncServerSocket.h"
#include "net/DescriptorLimit.h"
#include "platform/WindowStacking.h"
#include "tests/app/MainTestSupport.h"
#include "ui/NumberEdit.h"

namespace {

using namespace maintest;

TEST(MainReceive, AlertWindowOrUnreadCountWithTheTray) {
    struct Case {
        const char* name;
        bool alertOn, disableAlerts, onTop, autoResponse;
        bool window;
        int trayImage;  // after the message
        std::string trayHint;
    };
    const Case cases[] = {
        {"alert", true, false, true, false, true, tiIdle, "Wexlo"},
        {"alert not on top", true, false, false, false, true, tiIdle, "Wexlo"},
        {"alert in auto-response mode", true, false, true, true, true, tiAutoResponse,
         "Wexlo (Auto-response mode)"},
        {"alert option off", false, false, true, false, false, tiUnread, "1 unread message(s)"},
        {"alerts disabled", true, true, true, false, false, tiUnread, "1 unread message(s)"},
    };
    const std::string text = "<b>bold</b> &amp; <img src=\"x.png\">\r\nline two";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MainHarness h;
        h.settings["Show alert on message"] = Dword(c.alertOn);
        h.settings["Show OnTop"] = Dword(c.onTop);
        TfMain& form = h.Start();
        form.mnDisableAlerts->setChecked(c.disableAlerts);
        form.mnAutoResponse->setChecked(c.autoResponse);
        form.UpdateTrayStatus();

        Deliver(h.port, Request(text));

        EXPECT_EQ(ShownTrayImage(form), c.trayImage);
        EXPECT_EQ(ShownTrayHint(form), c.trayHint);
        if (!c.window) {
            EXPECT_TRUE(form.FMessageWindows.empty());
            EXPECT_EQ(form.FUnreadCount, 1);
            Deliver(h.port, Request(text));
            EXPECT_EQ(form.FUnreadCount, 2);
            EXPECT_EQ(ShownTrayHint(form), "2 unread message(s)");
            EXPECT_TRUE(WindowsTitled("Wexlo  -  Message from localhost (127.0.0.1)").empty());
            continue;
        }
        EXPECT_EQ(form.FUnreadCount, 0);
        ASSERT_EQ(form.FMessageWindows.size(), 1u);
        TfShowMessage* alert = form.FMessageWindows[0];
        EXPECT_EQ(Title(alert), "Wexlo  -  Message from localhost (127.0.0.1)");
        EXPECT_TRUE(alert->isVisible());
        EXPECT_EQ(KeepsAbove(alert), c.onTop);
        EXPECT_FALSE(alert->btnSave->isVisible());
        EXPECT_FALSE(alert->cbSaveSelection->isVisible());
        EXPECT_EQ(alert->lblAutoResponse->isVisible(), c.autoResponse);
        // Markup from a peer is shown as the characters it is made of.
        ASSERT_EQ(alert->redMessage->LineCount(), 2);
        EXPECT_EQ(alert->redMessage->RowText(0).toStdString(),
                  "<b>bold</b> &amp; <img src=\"x.png\">");
        EXPECT_EQ(alert->redMessage->Content(), text + "\r\n");
    }
}

TEST(MainReceive, PastTheCapOfOpenAlertsMessagesCountAsUnread) {
    MainHarness h;
    TfMain& form = h.Start();
    const std::string reply = "\b00\b" + form.FResponseMessage;
    for (std::size_t i = 0; i < MaxAlertWindows + 2; ++i)
        ASSERT_EQ(Deliver(h.port, Request("m" + std::to_string(i))), reply);
    EXPECT_EQ(form.FMessageWindows.size(), MaxAlertWindows);
    EXPECT_EQ(form.FUnreadCount, 2);
    EXPECT_EQ(ShownTrayHint(form), "2 unread message(s)");
    EXPECT_EQ(form.FReceivedMessages.size(), 3 * (MaxAlertWindows + 2));
    EXPECT_EQ(form.FReceivedMessages.back(), "m101\r\n\r\n\r\n");

    // A closed alert makes room for the next one.
    delete form.FMessageWindows.front();
    ASSERT_EQ(Deliver(h.port, Request("room")), reply);
    ASSERT_EQ(form.FMessageWindows.size(), MaxAlertWindows);
    EXPECT_EQ(form.FMessageWindows.back()->redMessage->Content(), "room\r\n");
    EXPECT_EQ(form.FUnreadCount, 2);
}

TEST(MainReceive, SendToolGetsEveryReply) {
    MainHarness h;
    TfMain& form = h.Start();
    form.FResponseMessage = "Away";
    struct Case {
        const char* name;
        bool disableAlerts, autoResponse;
        std::string out;
    };
    const std::string sent = "Message sent to localhost (127.0.0.1)\n";
    const Case cases[] = {
        {"normal", false, false, sent},
        {"alerts disabled", true, false, sent + "localhost (127.0.0.1) has alerts disabled\n"},
        {"auto-response", false, true, sent + "Auto-response from localhost (127.0.0.1):\nAway\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form.mnDisableAlerts->setChecked(c.disableAlerts);
        form.mnAutoResponse->setChecked(c.autoResponse);
        const std::size_t before = form.FReceivedMessages.size();
        const auto r = RunSendTool(h.port, {"hello", "<b>there</b>"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        ASSERT_GT(form.FReceivedMessages.size(), before);
        EXPECT_EQ(form.FReceivedMessages.back(), "hello <b>there</b>\r\n\r\n\r\n");
    }
    EXPECT_EQ(form.FMessageWindows.size(), 2u);  // none while alerts were disabled
    EXPECT_EQ(form.FUnreadCount, 1);
}

// ---- hostile peers: the program stays up, answers the next message, and
// records what it read.

void ExpectStillReceiving(MainHarness& h) {
    const std::size_t before = h->FReceivedMessages.size();
    EXPECT_EQ(Deliver(h.port, Request("still here")), "\b00\b" + h->FResponseMessage);
    ASSERT_EQ(h->FReceivedMessages.size(), before + 3);
    EXPECT_EQ(h->FReceivedMessages.back(), "still here\r\n\r\n\r\n");
}

// The largest request is taken whole and answered; one byte more is cut there
// and the sender is not told it was delivered. Shown in an alert window.
TEST(MainReceiveHostile, SixteenMegabyteRequests) {
    const std::size_t limit = TRequestLimits().MaxBytes;
    struct Case {
        const char* name;
        std::size_t size;  // of the text
        bool whole;
    };
    const Case cases[] = {
        {"as long as allowed", limit - 8, true},
        {"one byte longer", limit - 7, false},
    };
    MainHarness h;
    TfMain& form = h.Start();
    // Only the size limit may end these, however busy the machine.
    form.Receiver().Limits.MaxWaitMs = 600000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = Pattern(c.size);
        const std::size_t before = form.FReceivedMessages.size();
        RawClient client(h.port);
        client.Send(Request(text));
        ASSERT_TRUE(client.WaitClosed(120000));
        if (c.whole) {
            EXPECT_EQ(client.got, "\b00\b");
            EXPECT_EQ(client.error, 0);
        } else {
            EXPECT_EQ(client.got, "");
            EXPECT_TRUE(client.error == ECONNRESET || client.error == EPIPE) << client.error;
        }
        ASSERT_EQ(form.FReceivedMessages.size(), before + 3);
        EXPECT_TRUE(form.FReceivedMessages.back() == text.substr(0, limit - 8) + "\r\n\r\n\r\n")
            << "not the first " << limit - 8 << " bytes of the text";
        ASSERT_FALSE(form.FMessageWindows.empty());
        EXPECT_EQ(form.FMessageWindows.back()->redMessage->Content().size(), limit - 8 + 2);
    }
    EXPECT_EQ(form.Receiver().Collecting(), 0u);
    ExpectStillReceiving(h);
}

TEST(MainReceiveHostile, PeerResettingMidRequest) {
    MainHarness h;
    TfMain& form = h.Start();
    // Only the reset may end a request being collected.
    form.Receiver().Limits = {60000, 60000, std::size_t(16) << 20};
    const std::string longText = Pattern(200000);
    struct Case {
        const char* name;
        std::string bytes, text;
        std::size_t collecting;  // once this much is sent, wait until it is collected
    };
    const Case cases[] = {
        {"inside the header", "\b01", "", 0},
        {"before the reply", Request("cut short"), "cut short", 0},
        {"while a long one is collected", Request(longText), longText, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = form.FReceivedMessages.size();
        {
            RawClient client(h.port);
            if (c.collecting) {
                client.Send(c.bytes.substr(0, c.collecting));
                ASSERT_TRUE(WaitUntil([&] {
                    client.Pump();
                    return client.pending.empty() && form.Receiver().Collecting() == 1;
                }));
                client.Send(c.bytes.substr(c.collecting));
            } else {
                client.Send(c.bytes);
            }
            client.Reset();
        }
        ASSERT_TRUE(WaitUntil([&] { return form.FReceivedMessages.size() == before + 3; }));
        const std::string& entry = form.FReceivedMessages.back();
        const std::string body = entry.substr(0, entry.size() - 6);
        // What was read before the reset is kept; what was still on the way may be lost.
        EXPECT_EQ(entry.substr(body.size()), "\r\n\r\n\r\n");
        EXPECT_GE(body.size(), c.collecting ? c.collecting - 8 : c.text.size());
        EXPECT_TRUE(body == c.text.substr(0, body.size())) << "not the bytes that were sent";
        EXPECT_EQ(form.Receiver().Collecting(), 0u);
        ExpectStillReceiving(h);
        // A reply the reset peer can no longer take is reported, nothing more.
        ASSERT_LE(h.boxes.boxes.size(), 1u);
        for (const auto& box : h.boxes.boxes) {
            EXPECT_EQ(box.caption, "Wexlo - Error");
            EXPECT_EQ(box.text.rfind("Unexpected socket error:\r", 0), 0u) << box.text;
        }
        h.boxes.boxes.clear();
    }
    EXPECT_FALSE(form.RetryArmed());
}

TEST(MainReceiveHostile, IncomingFailuresShowOneBoxAMinuteAndTheRestGoToTheSessionLog) {
    MainHarness h;
    TfMain& form = h.Start();
    std::time_t now = When;
    ScopedClock clock([&] { return now; });
    std::int64_t steady = 0;
    TSocketErrorReport::SetSteadyClock([&] { return steady; });
    struct TRestore {
        ~TRestore() { TSocketErrorReport::SetSteadyClock({}); }
    } restore;
    const std::string prefix = "Unexpected socket error at ";
    auto logged = [&] {
        std::vector<std::string> lines;
        for (const std::string& item : form.FSessionLog)
            if (item.rfind(prefix, 0) == 0) lines.push_back(item);
        return lines;
    };
    // No more at once than the listen queue holds: a connect blocks while
    // the queue is full, and the program accepts only when the test waits.
    auto resets = [&](int count) {
        for (int i = 0; i < count; ++i) RawClient(h.port).Reset();
    };

    resets(5);
    ASSERT_TRUE(WaitUntil([&] { return h.boxes.boxes.size() + logged().size() >= 4; }, 10000));
    ASSERT_EQ(h.boxes.boxes.size(), 1u);
    EXPECT_EQ(h.boxes.boxes[0].text.rfind("Unexpected socket error:\r", 0), 0u);
    for (const std::string& line : logged()) {
        EXPECT_EQ(line.rfind(prefix + TimeStamp(When) + ": ", 0), 0u) << line;
        EXPECT_TRUE(line.ends_with("\r\n\r\n")) << line;
    }

    // A minute later the next one gets its box, though the time of day was
    // set back an hour meanwhile.
    now -= 3600;
    steady += TSocketErrorReport::IncomingBoxIntervalMs;
    resets(1);
    ASSERT_TRUE(WaitUntil([&] { return h.boxes.boxes.size() == 2; }));

    // The listener's own failure is never held back.
    form.mnOptionsClick();
    form.edPort->setText("70000");
    form.btnOK->click();
    ASSERT_EQ(h.boxes.boxes.size(), 3u);
    EXPECT_EQ(h.boxes.boxes[2].text, "Unexpected socket error:\rWinsock error 22.");
}

TEST(MainReceiveHostile, SilentPeerDoesNotHoldUpOthers) {
    MainHarness h;
    TfMain& form = h.Start();
    // Closed after half a minute, not within this test.
    EXPECT_EQ(form.ServerSocket->SilentTimeout(), MessageSilentTimeoutMs);
    RawClient silent(h.port);
    ASSERT_TRUE(WaitUntil([&] { return form.ServerSocket->ConnectionCount() == 1; }));
    for (int i = 0; i < 3; ++i) ExpectStillReceiving(h);
    const auto r = RunSendTool(h.port, {"via", "the", "tool"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(form.FReceivedMessages.back(), "via the tool\r\n\r\n\r\n");
    // The silent one is still connected, nothing recorded for it.
    EXPECT_FALSE(silent.Pump());
    EXPECT_EQ(form.FReceivedMessages.size(), 12u);
    EXPECT_TRUE(WaitUntil([&] { return form.ServerSocket->ConnectionCount() == 1; }));
}

}  // namespace

// The error box runs the event loop while it waits for the user. Peers that
// keep resetting connections meanwhile must not open a box inside the box
// inside the box.
TEST(MainReceiveHostile, ResetStormShowsOneErrorBoxAtATime) {
    class NestingBox : public IMessageBoxService {
    public:
        explicit NestingBox(int Port) : FPort(Port) {}
        TMsgResult Show(QWidget*, const std::string& Text, const std::string&, TMsgIcon,
                        TMsgButtons) override {
            ++shown;
            ++depth;
            texts.push_back(Text);
            deepest = std::max(deepest, depth);
            if (Text.rfind("Unexpected socket error:", 0) == 0 && depth == 1) {
                for (int i = 0; i < 20; ++i) {
                    RawClient peer(FPort);
                    peer.Reset();
                    testsupport::ProcessEventsFor(10);
                }
                testsupport::ProcessEventsFor(200);
            }
            --depth;
            return TMsgResult::Ok;
        }
        int shown = 0, depth = 0, deepest = 0;
        std::vector<std::string> texts;

    private:
        int FPort;
    };

    MainHarness h;
    NestingBox box(h.port);
    h.services.MessageBoxes = &box;
    TfMain& form = h.Start();
    {
        RawClient first(h.port);
        first.Reset();
    }
    ASSERT_TRUE(WaitUntil([&] { return box.shown > 0; }));
    testsupport::ProcessEventsFor(200);
    EXPECT_EQ(box.deepest, 1) << testing::PrintToString(box.texts);
    ExpectStillReceiving(h);
    (void)form;
}

// ---- load: many peers at once. Clients run on threads of their own with
// blocking sockets, as other machines would, while the test's event loop
// serves them; every exchange and every wait is bounded.

namespace {

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// One message, the blocking way: the reply, or "<failed: ...>".
std::string Exchange(int Port, const std::string& Bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "<failed: socket>";
    // A program that stops answering fails the exchange rather than the test's bounds.
    const timeval bound{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    const sockaddr_in to = Address("127.0.0.1", Port);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) error = errno;
    for (std::size_t at = 0; !error && at < Bytes.size();) {
        const ssize_t n = ::send(fd, Bytes.data() + at, Bytes.size() - at, MSG_NOSIGNAL);
        if (n > 0)
            at += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            error = errno;
    }
    std::string reply;
    char buffer[4096];
    while (!error) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            reply.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            error = errno;
    }
    ::close(fd);
    return error ? "<failed: " + std::string(std::strerror(error)) + ">" : reply;
}

// Messages sent by Clients threads, each one message after the other, spread
// evenly; Text(client, index) is the text. The replies, per client.
std::vector<std::vector<std::string>> RunClients(int Port, int Clients, int Messages,
                                                 const std::function<std::string(int, int)>& Text) {
    std::vector<std::vector<std::string>> replies(static_cast<std::size_t>(Clients));
    std::atomic<int> finished{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < Clients; ++c) {
        const int count = Messages / Clients + (c < Messages % Clients ? 1 : 0);
        threads.emplace_back([&, c, count] {
            for (int i = 0; i < count && !stop; ++i)
                replies[std::size_t(c)].push_back(Exchange(Port, Request(Text(c, i))));
            ++finished;
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return finished == Clients; }, 300000)) << "clients still busy";
    stop = true;
    WaitUntil([&] { return finished == Clients; }, 70000);
    for (std::thread& t : threads) t.join();
    return replies;
}

// The texts of received-message entries without auto-response lines.
std::vector<std::string> ReceivedTexts(const TStringList& Received) {
    std::vector<std::string> texts;
    for (std::size_t i = 2; i < Received.size(); i += 3)
        texts.push_back(Received[i].substr(0, Received[i].size() - 6));
    return texts;
}

}  // namespace

TEST(MainReceiveLoad, SilentConnectionsAreDroppedWhileOthersAreAnswered) {
    const int silentCount = 500, messages = 1000, clients = 8;
    const int silentTimeoutMs = 4000;
    if (RaiseDescriptorLimit() < 2 * silentCount + 200)
        GTEST_SKIP() << "too few descriptors allowed";
    MainHarness h;
    h.settings["Show alert on message"] = Dword(0);
    TfMain& form = h.Start();
    // Whatever the first message opens for good is there before counting.
    ExpectStillReceiving(h);
    ASSERT_TRUE(WaitUntil([&] { return form.ServerSocket->ConnectionCount() == 0; }));
    const std::size_t descriptors = OpenDescriptors();
    form.ServerSocket->SetSilentTimeout(silentTimeoutMs);

    QElapsedTimer held;
    held.start();
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < silentCount; ++i) {
        silent.push_back(std::make_unique<RawClient>(h.port));
        // A connect blocks while the listen queue is full (a small somaxconn).
        if (i % 50 == 49) {
            ASSERT_TRUE(WaitUntil([&] { return form.ServerSocket->ConnectionCount() == i + 1; }));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return form.ServerSocket->ConnectionCount() == silentCount; }));

    const auto replies = RunClients(h.port, clients, messages, [](int c, int i) {
        return "client " + std::to_string(c) + " message " + std::to_string(i);
    });
    const std::string reply = "\b00\b" + form.FResponseMessage;
    for (const auto& perClient : replies)
        for (const std::string& r : perClient) ASSERT_EQ(r, reply);
    const bool early = held.elapsed() < silentTimeoutMs;
    const auto closed = [&] {
        int count = 0;
        for (auto& s : silent) count += s->Pump();
        return count;
    };
    // Unless the machine was too slow for that, no silent one went before its time.
    if (early) {
        EXPECT_EQ(closed(), 0);
    }

    ASSERT_TRUE(WaitUntil([&] { return closed() == silentCount; }, silentTimeoutMs + 60000));
    for (auto& s : silent) {
        EXPECT_EQ(s->got, "");
        EXPECT_EQ(s->error, 0) << "closed, not reset";
    }
    EXPECT_EQ(form.FReceivedMessages.size(), 3u * (messages + 1)) << "nothing for the silent ones";
    EXPECT_EQ(form.FUnreadCount, messages + 1);
    silent.clear();
    EXPECT_TRUE(WaitUntil([&] {
        return form.ServerSocket->ConnectionCount() == 0 && OpenDescriptors() == descriptors;
    })) << OpenDescriptors()
        << " descriptors open, " << descriptors << " before";
    EXPECT_TRUE(h.boxes.boxes.empty());
    ExpectStillReceiving(h);
}

TEST(MainReceiveLoad, BurstFromSixteenClientsIsLoggedOnceInOrder) {
    const int messages = 5000, clients = 16;
    MainHarness h;
    h.settings["Show alert on message"] = Dword(0);
    h.settings["Save messages on exit"] = Dword(1);
    TfMain& form = h.Start();

    const auto text = [](int c, int i) {
        return "client " + std::to_string(c) + " message " + std::to_string(i);
    };
    const auto replies = RunClients(h.port, clients, messages, text);
    const std::string reply = "\b00\b" + form.FResponseMessage;
    for (const auto& perClient : replies)
        for (const std::string& r : perClient) ASSERT_EQ(r, reply);

    // Each once, and each client's in the order it sent them.
    ASSERT_EQ(form.FReceivedMessages.size(), 3u * messages);
    std::vector<int> next(clients, 0);
    for (const std::string& t : ReceivedTexts(form.FReceivedMessages)) {
        int c = -1, i = -1;
        ASSERT_EQ(std::sscanf(t.c_str(), "client %d message %d", &c, &i), 2) << t;
        ASSERT_TRUE(c >= 0 && c < clients) << t;
        ASSERT_EQ(i, next[std::size_t(c)]++) << t;
    }
    for (int c = 0; c < clients; ++c)
        EXPECT_EQ(next[std::size_t(c)], int(replies[std::size_t(c)].size()));
    EXPECT_EQ(form.FUnreadCount, messages);
    EXPECT_EQ(ShownTrayHint(form), std::to_string(messages) + " unread message(s)");

    // The journal kept up, and the exit saves every one of them once.
    const std::string expected = TextOf(form.FReceivedMessages);
    h.Stop();
    EXPECT_TRUE(testsupport::ReadFile(h.SavedPath()) == expected);
    EXPECT_TRUE(h.boxes.boxes.empty());
}
