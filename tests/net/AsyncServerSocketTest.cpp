#include "net/AsyncServerSocket.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <fstream>
#include <memory>

#include <QPointer>
#include <QSocketNotifier>

#include "net/AsyncClientSocket.h"
#include "tests/net/NetTestSupport.h"

using namespace nettest;

namespace {

class ServerTest : public TSocketTest {
protected:
    void SetUp() override {
        TSocketTest::SetUp();
        auto note = [this](const char* what) {
            return [this, what](QObject* sender, TSocketConnection* socket) {
                EXPECT_EQ(sender, &server);
                log.push_back(std::string(what) + " " + std::to_string(server.ConnectionCount()));
                last = socket;
            };
        };
        server.OnListen = note("listen");
        server.OnClientConnect = note("clientconnect");
        server.OnAccept = note("accept");
        server.OnClientRead = note("read");
        server.OnClientDisconnect = note("clientdisconnect");
    }

    TSocketConnection* last = nullptr;
};

TEST_F(ServerTest, CountsInsideConnectAndDisconnectEventsAndDeferredRelease) {
    bool activeInListen = false;
    server.OnListen = [&](QObject*, TSocketConnection* socket) {
        EXPECT_EQ(socket, nullptr);
        activeInListen = server.Active();
        log.push_back("listen");
    };
    server.Open();
    EXPECT_EQ(log, (std::vector<std::string>{"listen"})) << "OnListen fires inside Open";
    EXPECT_TRUE(activeInListen);
    server.Open();  // a listening server ignores Open
    EXPECT_EQ(log.size(), 1u);

    RawClient first(port);
    ASSERT_TRUE(WaitUntil([&] { return Logged("accept 1"); }));
    RawClient second(port);
    ASSERT_TRUE(WaitUntil([&] { return Logged("accept 2"); }));
    EXPECT_EQ(log, (std::vector<std::string>{"listen", "clientconnect 1", "accept 1",
                                             "clientconnect 2", "accept 2"}));
    EXPECT_EQ(server.ConnectionAt(0)->PeerAddress(), "127.0.0.1");
    EXPECT_EQ(server.ConnectionAt(0)->OwnAddress(), "127.0.0.1");
    EXPECT_THROW(server.ConnectionAt(2), Exception);

    // The peer's close: still counted inside the event, released afterwards.
    std::string address;
    server.OnClientDisconnect = [&](QObject*, TSocketConnection* socket) {
        log.push_back("clientdisconnect " + std::to_string(server.ConnectionCount()));
        address = socket->PeerAddress();
    };
    TSocketConnection* firstConnection = server.ConnectionAt(0);
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return Logged("clientdisconnect 2"); }));
    EXPECT_EQ(address, "127.0.0.1");
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_NE(server.ConnectionAt(0), firstConnection);

    // Close from our side fires the event before Close returns.
    server.ConnectionAt(0)->Close();
    EXPECT_EQ(log.back(), "clientdisconnect 1");
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_TRUE(ClosedGracefully(second));
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ServerTest, ReleaseWaitsForAHandlerRunningAModalLoop) {
    server.Open();
    bool stillThere = false;
    server.OnClientRead = [&](QObject*, TSocketConnection* socket) {
        QPointer<TSocketConnection> guard(socket);
        socket->Close();
        testsupport::ProcessEventsFor(100);  // as a message box would
        stillThere = guard && server.ConnectionCount() == 1;
    };
    RawClient peer(port);
    peer.Send("x");
    ASSERT_TRUE(WaitUntil([&] { return stillThere; }));
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
}

TEST_F(ServerTest, CloseDestroysConnectionsWithoutEvents) {
    server.Open();
    RawClient a(port), b(port);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
    QPointer<TSocketConnection> c0(server.ConnectionAt(0));
    log.clear();
    server.Close();
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_TRUE(c0.isNull());
    EXPECT_TRUE(ClosedGracefully(a) && ClosedGracefully(b));
    testsupport::ProcessEventsFor(50);
    EXPECT_TRUE(log.empty());
}

TEST_F(ServerTest, PortChangeRefusedWhileActive) {
    server.Open();
    const int other = testsupport::FreeTcpPort();
    try {
        server.SetPort(other);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "Can't change value while socket is active");
    }
    server.SetPort(port);  // the same value is no change
    server.Close();
    server.SetPort(other);
    server.SetActive(true);
    RawClient peer(other);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
}

TEST_F(ServerTest, ReopensOverTimeWaitButNotOverALiveListener) {
    server.OnClientConnect = [](QObject*, TSocketConnection* s) { s->Close(); };
    server.Open();
    RawClient peer(port);
    ASSERT_TRUE(ClosedGracefully(peer));
    peer.Close();
    testsupport::ProcessEventsFor(50);
    server.Close();

    // The port now sits in TIME_WAIT: a socket without SO_REUSEADDR cannot bind it.
    TPlainSocket plain;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(uint16_t(port));
    EXPECT_NE(::bind(plain.Fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    ::close(std::exchange(plain.Fd, -1));
    server.Open();
    EXPECT_TRUE(server.Active());

    // A second live listener on the same port fails with address-in-use,
    // through the hook when one is installed.
    static int hooked = 0;
    for (const bool withHook : {false, true}) {
        SCOPED_TRACE(withHook);
        hooked = 0;
        SetSocketFailureHook(withHook ? +[](int code) {
            hooked = code;
            throw ESocketError("Winsock error " + std::to_string(code) + ".", -1);
        }
                                      : nullptr);
        TAsyncServerSocket second;
        second.SetPort(port);
        bool listened = false;
        second.OnListen = [&](QObject*, TSocketConnection*) { listened = true; };
        try {
            second.Open();
            FAIL();
        } catch (const ESocketError& e) {
            if (withHook) {
                EXPECT_EQ(hooked, SocketCode::AddressInUse);
                EXPECT_EQ(e.HelpContext(), -1);
            } else {
                EXPECT_EQ(e.Message(),
                          "Windows socket error: Address already in use (98), on "
                          "API 'bind'");
                EXPECT_EQ(e.HelpContext(), 0);
            }
        }
        EXPECT_FALSE(listened);
        EXPECT_FALSE(second.Active());
    }
}

int HighestOpenFd() {
    int highest = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) highest = std::max(highest, atoi(e->d_name));
    closedir(dir);
    return highest;
}

TEST_F(ServerTest, AcceptOutOfDescriptorsBacksOffWithoutSpinning) {
    server.Open();
    TPlainSocket peer;

    // The sanitizers' checks need descriptors of their own the first time
    // they see a type; let them see these before descriptors run out.
    IdleFor(1);
    QTimer warm;
    warm.start(1);
    warm.stop();

    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = rlim_t(HighestOpenFd() + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) filler.push_back(fd);

    const sockaddr_in a = testsupport::Address("127.0.0.1", port);
    ASSERT_EQ(::connect(peer.Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const double cpuBefore = CpuSeconds();
    const int wakeups = IdleFor(500);
    const double cpu = CpuSeconds() - cpuBefore;
    const int accepted = server.ConnectionCount();
    for (int fd : filler) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(accepted, 0);
    EXPECT_LT(wakeups, 40) << "the listener must rest, not spin";
    EXPECT_LT(cpu, 0.15) << "CPU seconds used in 0.5 s of waiting";
    std::cout << "[ measured ] EMFILE wait: " << wakeups << " wakeups, " << cpu * 1000
              << " ms CPU in 500 ms\n";
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_EQ(log.back(), "accept 1");
}

// The process's listening socket on port.
int ListenerOn(int port) {
    for (int fd = 0; fd <= HighestOpenFd(); ++fd) {
        int listening = 0;
        socklen_t len = sizeof listening;
        sockaddr_in own{};
        socklen_t ownLen = sizeof own;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLen) == 0 &&
            ntohs(own.sin_port) == port)
            return fd;
    }
    return -1;
}

int IntOption(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

TEST_F(ServerTest, FullBacklogAndKeepaliveOnAcceptedConnections) {
    server.Open();
    // A listener's TCP_INFO holds its backlog; the kernel caps it at somaxconn.
    const int listener = ListenerOn(port);
    ASSERT_GE(listener, 0);
    tcp_info info{};
    socklen_t len = sizeof info;
    ASSERT_EQ(getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    int cap = SOMAXCONN;
    std::ifstream("/proc/sys/net/core/somaxconn") >> cap;
    EXPECT_EQ(int(info.tcpi_sacked), std::min(SOMAXCONN, cap));

    RawClient peer(port);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    TSocketConnection* accepted = server.ConnectionAt(0);
    const int fd = accepted->Handle();
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    // A peer that vanished is found within about two minutes.
    const int idle = IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    const int probes = IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_GT(idle, 0);
    EXPECT_GT(interval, 0);
    EXPECT_GT(probes, 0);
    EXPECT_LE(idle + interval * probes, 150);
    const int userTimeout = IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
    EXPECT_GT(userTimeout, 0);
    EXPECT_LE(userTimeout, 150000);
    EXPECT_GT(accepted->LinkInfo().SegmentSize, 1000) << "a loopback segment";
}

TEST_F(ServerTest, SilentConnectionIsClosedOnlyWhenATimeoutIsSet) {
    struct Case {
        int timeoutMs;
        bool silentCloses;
    };
    for (const Case c : {Case{300, true}, Case{0, false}}) {
        SCOPED_TRACE(c.timeoutMs);
        server.SetSilentTimeout(c.timeoutMs);
        server.Open();
        log.clear();
        RawClient silent(port);
        RawClient talking(port);
        talking.Send("x");  // the handler does not even read it
        ASSERT_TRUE(WaitUntil([&] { return Logged("read 2") || Logged("read 1"); }));
        if (c.silentCloses) {
            EXPECT_TRUE(ClosedGracefully(silent));
            ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
        } else {
            IdleFor(3 * 300);
        }
        EXPECT_EQ(server.ConnectionCount(), c.silentCloses ? 1 : 2);
        char byte;
        EXPECT_EQ(::recv(talking.fd, &byte, 1, MSG_DONTWAIT), -1) << "the talking peer stays";
        EXPECT_EQ(errno, EAGAIN);
        if (!c.silentCloses) {
            EXPECT_EQ(::recv(silent.fd, &byte, 1, MSG_DONTWAIT), -1);
            EXPECT_EQ(errno, EAGAIN);
        }
        server.Close();
    }
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ServerTest, HandlerExceptionsGoToTheApplicationHandler) {
    server.Open();
    int reads = 0;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        ++reads;
        const std::string text = s->ReceiveAvailable();
        if (text == "abort") throw EAbort();
        throw Exception("handler failed on " + text);
    };
    RawClient peer(port);
    peer.Send("abort");
    // The next text goes only after this one was read, or both come in one read.
    ASSERT_TRUE(WaitUntil([&] { return reads == 1; }));
    EXPECT_TRUE(exceptions.Entries.empty()) << "EAbort is dropped";
    peer.Send("x");
    ASSERT_TRUE(WaitUntil([&] { return !exceptions.Entries.empty(); }));
    EXPECT_EQ(exceptions.Entries[0].Message, "handler failed on x");
    EXPECT_EQ(exceptions.Entries[0].Sender, &server);

    // The same for exceptions raised inside accept.
    server.OnClientConnect = [](QObject*, TSocketConnection*) { throw Exception("refused"); };
    log.clear();
    RawClient other(port);
    ASSERT_TRUE(WaitUntil([&] { return exceptions.Entries.size() == 2; }));
    EXPECT_EQ(exceptions.Entries[1].Message, "refused");
    EXPECT_FALSE(Logged("accept 2")) << "OnAccept does not follow a failed OnClientConnect";
}

TEST_F(ServerTest, PeerResetIsAnErrorNotificationThenAClose) {
    struct Case {
        bool handler;
        bool clears;
        size_t exceptions;
    } cases[] = {{false, false, 1}, {true, true, 0}, {true, false, 1}};
    server.Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.handler * 2 + c.clears);
        log.clear();
        exceptions.Entries.clear();
        server.OnClientError = nullptr;
        if (c.handler)
            server.OnClientError = [&](QObject* sender, TSocketConnection*, TSocketErrorKind kind,
                                       int& code) {
                EXPECT_EQ(sender, &server);
                log.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
                if (c.clears) code = 0;
            };
        int writable = 0;
        server.OnClientWrite = [&](QObject*, TSocketConnection*) { ++writable; };
        RawClient peer(port);
        ASSERT_TRUE(WaitUntil([&] { return Logged("accept 1") && writable == 1; }));
        peer.Reset();
        ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
        if (c.handler)
            EXPECT_EQ(log, (std::vector<std::string>{"clientconnect 1", "accept 1", "error 4 104",
                                                     "clientdisconnect 1"}));
        else
            EXPECT_EQ(log, (std::vector<std::string>{"clientconnect 1", "accept 1",
                                                     "clientdisconnect 1"}));
        ASSERT_EQ(exceptions.Entries.size(), c.exceptions);
        if (c.exceptions) {
            EXPECT_EQ(exceptions.Entries[0].Message, "Asynchronous socket error 104");
            EXPECT_EQ(exceptions.Entries[0].Sender, &server);
        }
    }
}

}  // namespace

TEST_F(ServerTest, RequestWaitingAtAcceptIsReadAtOnceAndTheConnectionStaysWatched) {
    server.Open();
    // Left unread, the first bytes come back with later ones, and no second
    // notification comes before they are taken.
    int reads = 0;
    server.OnClientRead = [&](QObject*, TSocketConnection*) { ++reads; };
    RawClient leaving(port);
    leaving.Send("hello");
    ASSERT_TRUE(WaitUntil([&] { return reads == 1; }));
    leaving.Send(" world");
    testsupport::ProcessEventsFor(100);
    EXPECT_EQ(reads, 1);
    ASSERT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(server.ConnectionAt(0)->ReceiveAvailable(), "hello world");
    server.Close();
    server.Open();

    // A handler that reads and raises: the failure goes to the application's
    // handler, and later bytes are still noticed.
    std::vector<std::string> got;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        got.push_back(s->ReceiveAvailable());
        if (got.size() == 1) throw Exception("first read failed");
    };
    RawClient raising(port);
    raising.Send("one");
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 1; }));
    raising.Send("two");
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
    ASSERT_EQ(exceptions.Entries.size(), 1u);
    EXPECT_EQ(exceptions.Entries[0].Message, "first read failed");

    // Answered and closed at once: never watched (every watched descriptor
    // costs the event loop a wake-up) and destroyed as the accept returns,
    // before anything posted meanwhile runs.
    int watched = 0, outlivedTheTurn = 0;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        s->SendString("re: " + s->ReceiveAvailable());
        QObject::connect(s, &QObject::destroyed, [&](QObject* gone) {
            watched += int(gone->findChildren<QSocketNotifier*>().size());
        });
        QMetaObject::invokeMethod(
            &server, [&, alive = QPointer<TSocketConnection>(s)] { outlivedTheTurn += !!alive; },
            Qt::QueuedConnection);
        s->Close();
    };
    std::vector<std::unique_ptr<RawClient>> peers;
    for (int i = 0; i < 40; ++i) {
        peers.push_back(std::make_unique<RawClient>(port));
        peers.back()->Send("m" + std::to_string(i));
    }
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(ClosedGracefully(*peers[i]));
        EXPECT_EQ(peers[i]->got, "re: m" + std::to_string(i));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; })) << "the raising one";
    EXPECT_EQ(watched, 0);
    EXPECT_EQ(outlivedTheTurn, 0);
}

TEST_F(ServerTest, PeerResetBeforeAcceptEndsTheConnection) {
    // The reset comes before the listener is served, so the very first read
    // after the accept fails; handled or not, the connection must end.
    for (const bool clears : {true, false}) {
        SCOPED_TRACE(clears);
        int errors = 0;
        server.OnClientError = [&](QObject*, TSocketConnection*, TSocketErrorKind, int& code) {
            ++errors;
            if (clears) code = 0;
        };
        server.Open();
        log.clear();
        RawClient peer(port);
        peer.Reset();
        ASSERT_TRUE(WaitUntil([&] { return Logged("accept 1"); }));
        EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }))
            << "a reset connection stays open and counted";
        EXPECT_TRUE(Logged("clientdisconnect 1"));
        EXPECT_EQ(errors, 1);
        server.Close();
    }
}

TEST_F(ServerTest, ConnectionWhoseConnectHandlerRaisedIsStillWatched) {
    // The failure goes to the application; the connection lives on, so its
    // bytes are read and its silence ends it, as for any other.
    server.SetSilentTimeout(300);
    server.OnClientConnect = [](QObject*, TSocketConnection*) { throw Exception("refused"); };
    int reads = 0;
    server.OnClientRead = [&](QObject*, TSocketConnection*) { ++reads; };
    server.Open();
    RawClient early(port);
    early.Send("already here");
    ASSERT_TRUE(WaitUntil([&] { return exceptions.Entries.size() == 1; }));
    RawClient silent(port);
    ASSERT_TRUE(WaitUntil([&] { return exceptions.Entries.size() == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return reads == 1; })) << "bytes there at accept unread";
    EXPECT_TRUE(ClosedGracefully(silent)) << "a silent connection kept open";
}
