#include "net/AsyncClientSocket.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "net/AsyncServerSocket.h"
#include "tests/net/NetTestSupport.h"

using namespace nettest;

namespace {

// A client with every event written to a log, and a listening server.
class ClientTest : public TSocketTest {
protected:
    void SetUp() override {
        TSocketTest::SetUp();
        server.Open();
        client = std::make_unique<TAsyncClientSocket>();
        client->SetHost("127.0.0.1");
        client->SetPort(port);
        auto note = [this](const char* what) {
            return [this, what](QObject* sender, TSocketConnection* socket) {
                EXPECT_EQ(sender, client.get());
                EXPECT_EQ(socket, client->Connection());
                log.push_back(std::string(what) + (client->Active() ? "+" : "-"));
            };
        };
        client->OnLookup = note("lookup");
        client->OnConnecting = note("connecting");
        client->OnConnect = note("connect");
        client->OnWrite = note("write");
        client->OnRead = note("read");
        client->OnDisconnect = note("disconnect");
        client->OnError = [this](QObject*, TSocketConnection*, TSocketErrorKind kind, int& code) {
            log.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
            code = errorCodeAfter;
        };
    }

    int errorCodeAfter = 0;
    std::unique_ptr<TAsyncClientSocket> client;
};

TEST_F(ClientTest, ConnectsAndReportsInOrder) {
    for (const char* host : {"127.0.0.1", "LOCALHOST"}) {
        SCOPED_TRACE(host);
        log.clear();
        client->SetHost(host);
        client->Open();
        EXPECT_EQ(log, (std::vector<std::string>{"lookup-"})) << "OnLookup fires inside Open";
        ASSERT_TRUE(WaitUntil([&] { return Logged("write+"); }));
        EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "connecting-", "connect+", "write+"}));
        EXPECT_TRUE(client->Connection()->Connected());

        // Open on a connected client does nothing.
        client->Open();
        EXPECT_EQ(log.size(), 4u);

        std::string name, address;
        client->OnDisconnect = [&](QObject*, TSocketConnection* socket) {
            log.push_back(client->Active() ? "disconnect+" : "disconnect-");
            name = socket->PeerName();
            address = socket->PeerAddress();
        };
        client->Close();
        EXPECT_EQ(log.back(), "disconnect-") << "fires inside Close, Active already false";
        EXPECT_EQ(address, "127.0.0.1");
        EXPECT_EQ(name, "name-of-127.0.0.1");
        EXPECT_FALSE(client->Connection()->Connected());
        EXPECT_EQ(client->Connection()->PeerAddress(), "");
        EXPECT_EQ(client->Connection()->PeerName(), "");
    }
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ClientTest, RefusedConnectReportsConnectErrorOnly) {
    struct Case {
        int codeAfterHandler;
        bool raises;
    } cases[] = {{0, false}, {SocketCode::ConnectionRefused, true}};
    server.Close();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codeAfterHandler);
        log.clear();
        exceptions.Entries.clear();
        errorCodeAfter = c.codeAfterHandler;
        client->Open();
        ASSERT_TRUE(WaitUntil([&] { return log.size() >= 3; }));
        testsupport::ProcessEventsFor(50);
        EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "connecting-", "error 3 111"}));
        EXPECT_FALSE(client->Active());
        if (c.raises) {
            ASSERT_EQ(exceptions.Entries.size(), 1u);
            EXPECT_EQ(exceptions.Entries[0].Message, "Asynchronous socket error 111");
            EXPECT_EQ(exceptions.Entries[0].Sender, client.get());
            EXPECT_EQ(exceptions.Entries[0].HelpContext, 0);
        } else {
            EXPECT_TRUE(exceptions.Entries.empty());
        }
        // The failed socket stays open: the client's Close leaves it, the
        // connection's Close releases it with OnDisconnect.
        client->Close();
        EXPECT_EQ(log.size(), 3u);
        EXPECT_GE(client->Connection()->Handle(), 0);
        client->Connection()->Close();
        EXPECT_EQ(log.back(), "disconnect-");
        EXPECT_EQ(client->Connection()->Handle(), -1);
    }
}

TEST_F(ClientTest, UnresolvableHostFailsThroughTheExceptionHandlerOnly) {
    std::string name = "unset", address = "unset";
    client->OnDisconnect = [&](QObject*, TSocketConnection* socket) {
        log.push_back("disconnect");
        name = socket->PeerName();
        address = socket->PeerAddress();
    };
    client->SetHost("no-such-host.invalid");
    const auto start = std::chrono::steady_clock::now();
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return !exceptions.Entries.empty(); }, 20000));
    // Well below a resolver's ten-second time-out, with room for a busy machine.
    EXPECT_LT(Since(start), 8.0) << "the resolver answers .invalid at once";
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "disconnect"}));
    EXPECT_EQ(name, "");
    EXPECT_EQ(address, "");
    const auto& e = exceptions.Entries[0];
    EXPECT_EQ(e.Sender, client.get());
    EXPECT_EQ(e.HelpContext, 0);
    EXPECT_TRUE(e.Message.starts_with("Windows socket error: ")) << e.Message;
    EXPECT_TRUE(e.Message.ends_with("), on API 'ASync Lookup'")) << e.Message;
}

TEST_F(ClientTest, EmptyHostDisconnectsThenRaisesFromOpen) {
    client->SetHost("");
    try {
        client->Open();
        FAIL() << "Open must raise";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "No address specified");
    }
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "disconnect-"}));
    EXPECT_EQ(client->Connection()->Handle(), -1);
}

TEST_F(ClientTest, CloseWhileResolvingChangesNothingButClosingTheConnectionEndsIt) {
    client->SetHost("peer.stuck");
    client->Open();
    client->Close();
    client->SetActive(false);
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-"}));
    seams.Stuck->Release();
    ASSERT_TRUE(WaitUntil([&] { return Logged("connect+"); }));

    // The same through the connection: the attempt ends with OnDisconnect and
    // its late lookup result is dropped.
    client->Close();
    log.clear();
    auto stuck = std::make_shared<TStuckResolver>();
    THostLookup::SetResolver([stuck](const std::string&) {
        stuck->Wait();
        return THostLookup::ResolveWithSystem("127.0.0.1");
    });
    client->Open();
    client->Connection()->Close();
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "disconnect-"}));
    stuck->Release();
    testsupport::ProcessEventsFor(100);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ClientTest, CloseWhileConnectingChangesNothing) {
    // A listener with a full backlog leaves the next connect pending.
    server.Close();
    RawListener listener("127.0.0.1", port, 0);
    RawClient filler(port);

    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("connecting-"); }));
    testsupport::ProcessEventsFor(100);
    client->Close();
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "connecting-"}));
    // Room in the backlog: the attempt completes.
    listener.Pump();
    ASSERT_TRUE(WaitUntil([&] { return Logged("connect+"); }, 20000));
}

TEST_F(ClientTest, SecondOpenAbandonsTheEarlierAttemptSilently) {
    // Earlier attempt still resolving.
    client->SetHost("first.stuck");
    client->Open();
    client->SetHost("127.0.0.1");
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("write+"); }));
    seams.Stuck->Release();
    testsupport::ProcessEventsFor(100);
    EXPECT_EQ(
        log, (std::vector<std::string>{"lookup-", "lookup-", "connecting-", "connect+", "write+"}));
    EXPECT_EQ(server.ConnectionCount(), 1);
    client->Close();

    // Earlier attempt connecting, and one whose connect failed.
    log.clear();
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("connecting-"); }));
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("write+"); }));
    testsupport::ProcessEventsFor(50);
    EXPECT_EQ(std::count(log.begin(), log.end(), "connect+"), 1);
    EXPECT_FALSE(Logged("disconnect-"));
    client->Close();

    server.Close();
    log.clear();
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("error 3 111"); }));
    server.Open();
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("write+"); }));
    EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "connecting-", "error 3 111", "lookup-",
                                             "connecting-", "connect+", "write+"}));
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ClientTest, DestroyedWhileLookupsRun) {
    // Forward lookup in flight.
    client->SetHost("gone.stuck");
    client->Open();
    client.reset();
    seams.Stuck->Release();
    testsupport::ProcessEventsFor(100);

    // Reverse lookup of a connection in flight when the objects go.
    ReverseLookup::SetResolver([r = seams.Reverse](uint32_t) {
        r->Wait();
        return std::string("late");
    });
    auto other = std::make_unique<TAsyncClientSocket>();
    other->SetHost("127.0.0.1");
    other->SetPort(port);
    other->Open();
    ASSERT_TRUE(WaitUntil([&] { return other->Active() && server.ConnectionCount() == 1; }));
    other.reset();
    server.Close();
    seams.Reverse->Release();
    testsupport::ProcessEventsFor(100);
    EXPECT_TRUE(log.size() == 1 && log[0] == "lookup-");
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ClientTest, HostAndPortRefuseChangesWhileActive) {
    client->SetHost("Localhost");
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return client->Active(); }));
    struct Case {
        std::function<void()> change;
        bool refused;
    } cases[] = {
        {[&] { client->SetHost("LOCALHOST"); }, false},
        {[&] { client->SetHost("127.0.0.1"); }, true},
        {[&] { client->SetPort(port); }, false},
        {[&] { client->SetPort(port + 1); }, true},
    };
    for (auto& c : cases) {
        try {
            c.change();
            EXPECT_FALSE(c.refused);
        } catch (const ESocketError& e) {
            EXPECT_TRUE(c.refused);
            EXPECT_EQ(e.Message(), "Can't change value while socket is active");
            EXPECT_EQ(e.HelpContext(), 0);
        }
    }
    EXPECT_EQ(client->Host(), "Localhost");
    EXPECT_EQ(client->Port(), port);
    client->Close();
    client->SetPort(port + 1);
    EXPECT_EQ(client->Port(), port + 1);
}

TEST_F(ClientTest, WriteEventAfterConnectAndAfterWouldBlockOnly) {
    TSocketConnection* accepted = nullptr;
    server.OnClientConnect = [&](QObject*, TSocketConnection* s) { accepted = s; };
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return Logged("write+") && accepted; }));
    testsupport::ProcessEventsFor(50);
    EXPECT_EQ(std::count(log.begin(), log.end(), "write+"), 1);

    // Fill the pipe: the peer does not read, so sends come back short, then -1.
    const std::string chunk(256 * 1024, 'x');
    long total = 0;
    int result = 0;
    for (int i = 0; i < 400 && (result = client->Connection()->SendString(chunk)) > 0; ++i)
        total += result;
    ASSERT_EQ(result, -1) << "would-block after " << total << " bytes";
    testsupport::ProcessEventsFor(50);
    EXPECT_EQ(std::count(log.begin(), log.end(), "write+"), 1);

    long received = 0;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        received += long(s->ReceiveAvailable().size());
    };
    received += long(accepted->ReceiveAvailable().size());
    ASSERT_TRUE(WaitUntil([&] { return received == total; }, 30000)) << received << "/" << total;
    ASSERT_TRUE(WaitUntil([&] { return std::count(log.begin(), log.end(), "write+") == 2; }));
}

TEST_F(ClientTest, FailedSendsReportWithoutSigpipe) {
    auto previous = std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test run
    struct Case {
        bool resetByPeer;  // else our own side is shut for writing: EPIPE
        bool raises;
    } cases[] = {{true, false}, {true, true}, {false, false}, {false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.resetByPeer * 2 + c.raises);
        log.clear();
        TSocketConnection* accepted = nullptr;
        server.OnClientConnect = [&](QObject*, TSocketConnection* s) { accepted = s; };
        client->Open();
        ASSERT_TRUE(WaitUntil([&] { return Logged("write+") && accepted; }));
        if (c.resetByPeer) {
            // A reset the client has not seen yet.
            linger l{1, 0};
            setsockopt(accepted->Handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            server.Close();
        } else {
            shutdown(client->Connection()->Handle(), SHUT_WR);
        }
        int error = 0;
        client->OnError = [&](QObject*, TSocketConnection*, TSocketErrorKind kind, int& code) {
            log.push_back("error " + std::to_string(kind));
            error = code;
            if (!c.raises) code = 0;
        };
        std::string raised;
        try {
            for (int i = 0; i < 100 && client->Connection()->Connected(); ++i)
                client->Connection()->SendString(std::string(65536, 'y'));
        } catch (const ESocketError& e) {
            raised = e.Message();
        }
        EXPECT_EQ(log, (std::vector<std::string>{"lookup-", "connecting-", "connect+", "write+",
                                                 "error 1", "disconnect-"}));
        if (c.resetByPeer)
            EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
        else
            EXPECT_EQ(error, EPIPE);
        EXPECT_EQ(raised, c.raises ? SocketApiError(error, "send").Message() : "");
        if (!server.Active()) server.Open();
    }
    std::signal(SIGPIPE, previous);
}

}  // namespace
