#include "net/SocketConnection.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "tests/net/NetTestSupport.h"

using namespace nettest;

namespace {

// A server and a client of the layer joined over loopback.
class ConnectionTest : public TSocketTest {
protected:
    void SetUp() override {
        TSocketTest::SetUp();
        server.OnClientConnect = [this](QObject*, TSocketConnection* s) { accepted = s; };
        server.Open();
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        client.OnDisconnect = [this](QObject*, TSocketConnection*) { clientClosed = true; };
        client.OnError = [this](QObject*, TSocketConnection*, TSocketErrorKind kind, int& code) {
            clientErrors.push_back(kind);
            code = 0;
        };
    }

    void Connect() {
        client.Open();
        ASSERT_TRUE(WaitUntil([&] { return client.Active() && accepted; }));
    }

    TAsyncClientSocket client;
    TSocketConnection* accepted = nullptr;
    bool clientClosed = false;
    std::vector<int> clientErrors;
};

TEST_F(ConnectionTest, NothingToSendOrReceive) {
    TSocketConnection* c = client.Connection();
    EXPECT_EQ(c->SendString("lost"), 0) << "not connected";
    EXPECT_EQ(c->ReceiveAvailable(), "");
    EXPECT_EQ(c->PeerAddress(), "");
    EXPECT_EQ(c->OwnName(), "");
    EXPECT_EQ(c->OwnAddress(), "");
    Connect();
    EXPECT_EQ(c->SendString(""), 0);
    EXPECT_EQ(accepted->ReceiveAvailable(), "");
    char host[257] = {};
    gethostname(host, 256);
    EXPECT_EQ(c->OwnName(), host);
    EXPECT_EQ(c->OwnAddress(), "127.0.0.1");
    testsupport::ProcessEventsFor(50);
    EXPECT_EQ(accepted->ReceiveAvailable(), "") << "the empty send sent nothing";
}

TEST_F(ConnectionTest, DataArrivesMergedAndSplit) {
    std::vector<std::string> reads;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        reads.push_back(s->ReceiveAvailable());
    };
    Connect();
    // Two quick texts may come back in one read (most often), or in two on a
    // busy machine; never cut or reordered.
    EXPECT_EQ(client.Connection()->SendString("one"), 3);
    EXPECT_EQ(client.Connection()->SendString("two"), 3);
    const auto joined = [&] {
        std::string all;
        for (const auto& r : reads) all += r;
        return all;
    };
    ASSERT_TRUE(WaitUntil([&] { return joined().size() >= 6; }));
    EXPECT_EQ(joined(), "onetwo");
    EXPECT_LE(reads.size(), 2u);

    // One long text comes back in several, bytes intact.
    reads.clear();
    std::string big(4 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 % 251);
    size_t sent = 0;
    auto push = [&](QObject*, TSocketConnection* s) {
        while (sent < big.size()) {
            const int n = s->SendString(big.substr(sent, 1 << 20));
            if (n <= 0) return;  // OnWrite comes back when there is room
            sent += size_t(n);
        }
    };
    client.OnWrite = push;
    push(&client, client.Connection());
    std::string got;
    ASSERT_TRUE(WaitUntil(
        [&] {
            got.clear();
            for (const auto& r : reads) got += r;
            return got.size() >= big.size();
        },
        30000));
    EXPECT_GT(reads.size(), 1u);
    EXPECT_TRUE(got == big);
}

TEST_F(ConnectionTest, SendThenCloseDeliversTheText) {
    for (const bool unreadInput : {false, true}) {
        SCOPED_TRACE(unreadInput);
        accepted = nullptr;
        clientClosed = false;
        std::string reply;
        server.OnClientRead = [&](QObject*, TSocketConnection* s) {
            if (!unreadInput) s->ReceiveAvailable();
            EXPECT_EQ(s->SendString("status reply"), 12);
            s->Close();
        };
        client.OnRead = [&](QObject*, TSocketConnection* s) { reply += s->ReceiveAvailable(); };
        Connect();
        client.Connection()->SendString("request");
        ASSERT_TRUE(WaitUntil([&] { return clientClosed; }));
        EXPECT_EQ(reply, "status reply");
        EXPECT_TRUE(clientErrors.empty()) << "a graceful close, not a reset";
    }
}

TEST_F(ConnectionTest, ReadNotificationOncePerArrivalWithoutSpinning) {
    int reads = 0;
    bool readNow = false;
    std::string got;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        ++reads;
        if (readNow) got += s->ReceiveAvailable();
    };
    Connect();
    client.Connection()->SendString("a");
    ASSERT_TRUE(WaitUntil([&] { return reads == 1; }));

    // The handler did not read: no further notification, and no busy loop.
    const double cpuBefore = CpuSeconds();
    const int wakeups = IdleFor(500);
    const double cpu = CpuSeconds() - cpuBefore;
    client.Connection()->SendString("b");
    ASSERT_TRUE(WaitUntil([&] {  // "a" was read for the notification; "b" waits in the socket
        int pending = 0;
        return ioctl(accepted->Handle(), FIONREAD, &pending) == 0 && pending == 1;
    }));
    IdleFor(100);
    EXPECT_EQ(reads, 1);
    EXPECT_LT(wakeups, 20);
    EXPECT_LT(cpu, 0.1);
    std::cout << "[ measured ] unread data: " << wakeups << " wakeups, " << cpu * 1000
              << " ms CPU in 500 ms\n";

    // Reading re-arms it; each later arrival is one notification.
    readNow = true;
    EXPECT_EQ(accepted->ReceiveAvailable(), "ab");
    client.Connection()->SendString("c");
    ASSERT_TRUE(WaitUntil([&] { return reads == 2; }));
    client.Connection()->SendString("d");
    ASSERT_TRUE(WaitUntil([&] { return reads == 3; }));
    EXPECT_EQ(got, "cd");

    // Connected and idle: nothing wakes the thread.
    const int idle = IdleFor(300);
    EXPECT_LT(idle, 10);
}

TEST_F(ConnectionTest, EventHandlerExceptionsNameTheClient) {
    client.OnRead = [](QObject*, TSocketConnection* s) {
        throw Exception("bad reply " + s->ReceiveAvailable());
    };
    Connect();
    accepted->SendString("!");
    ASSERT_TRUE(WaitUntil([&] { return !exceptions.Entries.empty(); }));
    EXPECT_EQ(exceptions.Entries[0].Message, "bad reply !");
    EXPECT_EQ(exceptions.Entries[0].Sender, &client);
    EXPECT_TRUE(client.Active()) << "the connection keeps its state";

    // The peer's close reaches the client as OnDisconnect.
    accepted->Close();
    ASSERT_TRUE(WaitUntil([&] { return clientClosed; }));
    EXPECT_FALSE(client.Active());
}

}  // namespace

namespace {

// A small send buffer, so a long text takes many writes; with ReceiverToo a
// small receive buffer as well, so a peer that does not read holds little.
void ShrinkBuffers(TAsyncClientSocket& client, TAsyncServerSocket& server, bool ReceiverToo) {
    client.OnConnecting = [](QObject*, TSocketConnection* s) {
        const int size = 4096;
        setsockopt(s->Handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    };
    if (!ReceiverToo) return;
    auto accept = server.OnClientConnect;
    server.OnClientConnect = [accept](QObject* sender, TSocketConnection* s) {
        const int size = 8192;
        setsockopt(s->Handle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        accept(sender, s);
    };
}

TEST_F(ConnectionTest, SendAllQueuesWhatTheSocketCannotTakeYet) {
    ShrinkBuffers(client, server, false);
    std::string got;
    bool reading = false;
    server.OnClientRead = [&](QObject*, TSocketConnection* s) {
        if (reading) got += s->ReceiveAvailable();
    };
    std::vector<std::string> events;
    client.OnDrained = [&](QObject*, TSocketConnection* s) {
        events.push_back("drained " + std::to_string(s->PendingOutput()));
    };
    client.OnWrite = [&](QObject*, TSocketConnection*) { events.push_back("write"); };
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return !events.empty(); }));  // the OnWrite after connecting
    events.clear();

    std::string big(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 13 % 251);
    TSocketConnection* c = client.Connection();
    ASSERT_TRUE(c->SendAll(big.substr(0, big.size() / 2)));
    ASSERT_TRUE(c->SendAll(big.substr(big.size() / 2)));
    EXPECT_GT(c->PendingOutput(), 0u);
    EXPECT_EQ(c->SendString("overtaking"), -1) << "queued bytes go first";

    // Read in bits as they come, with the event loop running in between.
    reading = true;
    got = accepted->ReceiveAvailable();
    ASSERT_TRUE(WaitUntil([&] { return got.size() >= big.size(); }, 30000));
    EXPECT_TRUE(got == big);
    ASSERT_TRUE(WaitUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"drained 0", "write"}));
    EXPECT_EQ(c->PendingOutput(), 0u);
    EXPECT_TRUE(clientErrors.empty());
    EXPECT_TRUE(exceptions.Entries.empty());
}

TEST_F(ConnectionTest, QueuedOutputThatCannotGoIsAFailedSend) {
    const int stall = TSocketConnection::SendStallMs();
    TSocketConnection::SetSendStallMs(300);
    struct Case {
        const char* name;
        bool peerCloses;  // otherwise it stays and never reads
    };
    for (const Case& c : {Case{"peer stops reading", false}, Case{"peer closes", true}}) {
        SCOPED_TRACE(c.name);
        ShrinkBuffers(client, server, true);
        accepted = nullptr;
        clientClosed = false;
        clientErrors.clear();
        bool drained = false;
        client.OnDrained = [&](QObject*, TSocketConnection*) { drained = true; };
        Connect();
        ASSERT_TRUE(client.Connection()->SendAll(std::string(4 * 1024 * 1024, 'x')));
        ASSERT_GT(client.Connection()->PendingOutput(), 0u);
        if (c.peerCloses) accepted->Close();

        ASSERT_TRUE(WaitUntil([&] { return clientClosed; }, 10000));
        EXPECT_EQ(clientErrors, std::vector<int>{ekSend});
        EXPECT_FALSE(drained);
        EXPECT_EQ(client.Connection()->PendingOutput(), 0u);
        EXPECT_TRUE(exceptions.Entries.empty()) << "the handler cleared the code";
        server.Close();
        server.Open();
    }
    TSocketConnection::SetSendStallMs(stall);
}

}  // namespace
