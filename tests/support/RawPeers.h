#pragma once

// Peers on plain BSD sockets for tests of the message port: a client that
// sends and reads without blocking while the test's event loop runs, and a
// receiver the test answers from.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

inline sockaddr_in Address(const char* Ip, int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    ::inet_pton(AF_INET, Ip, &a.sin_addr);
    return a;
}

// The name the system's resolver gives the address Ip; "" when it has none.
inline std::string NameOf(const char* Ip) {
    const sockaddr_in a = Address(Ip, 0);
    char host[NI_MAXHOST] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, nullptr,
                      0, NI_NAMEREQD) != 0)
        host[0] = '\0';
    return host;
}

// Closes Fd with a reset instead of a close.
inline void CloseHard(int Fd) {
    const linger hard{1, 0};
    ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(Fd);
}

// Appends what Fd holds to Got without blocking. False once the peer closed
// or the connection failed (Error then says how).
inline bool ReadAvailable(int Fd, std::string& Got, int& Error) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(Fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            Got.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        } else {
            Error = n ? errno : 0;
            return false;
        }
    }
}

// A client on a plain socket: connects (the kernel completes the handshake
// without the program's help), then sends and reads without blocking, a bit
// at each Pump, so the test's event loop keeps running. BeforeConnect may set
// socket options that must precede the handshake.
class RawClient {
public:
    explicit RawClient(int Port, const char* Source = nullptr,
                       const std::function<void(int)>& BeforeConnect = {}) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("socket");
        if (Source) {
            const sockaddr_in from = Address(Source, 0);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
                throw std::runtime_error("bind to source");
        }
        if (BeforeConnect) BeforeConnect(fd);
        const sockaddr_in to = Address("127.0.0.1", Port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("connect");
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ~RawClient() {
        if (fd >= 0) ::close(fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Queues bytes; as much as the socket takes goes at once, the rest at Pump.
    void Send(const std::string& Bytes) {
        pending += Bytes;
        Pump();
    }

    // Writes what it can, reads what is there. True once the program closed.
    bool Pump() {
        while (!pending.empty() && !closed) {
            const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n > 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            } else {
                error = errno;
                closed = true;  // reset by the program: the rest is not wanted
            }
        }
        if (!closed) closed = !ReadAvailable(fd, got, error);
        return closed;
    }

    bool WaitClosed(int TimeoutMs = 20000) {
        return WaitUntil([this] { return Pump(); }, TimeoutMs);
    }

    void Reset() {
        CloseHard(fd);
        fd = -1;
        closed = true;
    }
    void Close() {
        ::close(fd);
        fd = -1;
        closed = true;
    }

    int fd = -1;
    std::string pending, got;
    bool closed = false;
    int error = 0;
};

// Sends one request from a raw client and waits until the program closed it;
// what it answered.
inline std::string Deliver(int Port, const std::string& Bytes, const char* Source = nullptr) {
    RawClient client(Port, Source);
    client.Send(Bytes);
    EXPECT_TRUE(client.WaitClosed()) << "the connection was left open";
    return client.got;
}

// A receiver the test controls: accepts and records each connection's bytes
// at every Pump; the test answers and closes as it likes. With a Backlog of 0
// and one client connected, further connects stay in progress.
class RawListener {
public:
    struct Peer {
        int fd = -1;
        std::string got;
        bool eof = false;
    };

    explicit RawListener(const char* Ip = "127.0.0.1", int Port = 0, int Backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at = Address(Ip, Port);
        socklen_t len = sizeof at;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(fd, Backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0)
            throw std::runtime_error("listen");
        port = ntohs(at.sin_port);
    }
    ~RawListener() {
        for (Peer& p : peers)
            if (p.fd >= 0) ::close(p.fd);
        ::close(fd);
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    void Pump() {
        for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
            peers.push_back(Peer{c, {}, false});
        int error = 0;
        for (Peer& p : peers)
            if (p.fd >= 0 && !p.eof) p.eof = !ReadAvailable(p.fd, p.got, error);
    }

    // Waits until connection Index has received at least Size bytes.
    bool WaitFor(std::size_t Index, std::size_t Size, int TimeoutMs = 20000) {
        return WaitUntil(
            [&] {
                Pump();
                return peers.size() > Index && peers[Index].got.size() >= Size;
            },
            TimeoutMs);
    }

    // Waits until connection Index was closed by the program.
    bool WaitEof(std::size_t Index) {
        return WaitUntil([&] {
            Pump();
            return peers.size() > Index && peers[Index].eof;
        });
    }

    void Reply(std::size_t Index, const std::string& Bytes) {
        ASSERT_EQ(::send(peers[Index].fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(Bytes.size()));
    }
    void Close(std::size_t Index, bool Reset = false) {
        Reset ? CloseHard(peers[Index].fd) : void(::close(peers[Index].fd));
        peers[Index].fd = -1;
    }

    int fd = -1;
    int port = 0;
    std::vector<Peer> peers;
};

// The request the program sends for Text.
inline std::string Request(const std::string& Text) {
    return std::string("\b0150\r\n\b") + Text;
}

// Text whose bytes tell where a cut fell.
inline std::string Pattern(std::size_t Size) {
    std::string text(Size, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// Measures, from its making, the longest the event loop went without a turn.
class EventLoopGap {
public:
    EventLoopGap() {
        QObject::connect(&FTicks, &QTimer::timeout,
                         [this] { FLongest = std::max(FLongest, FSinceTurn.restart()); });
        FSinceTurn.start();
        FTicks.start(10);
    }
    qint64 Longest() const { return std::max(FLongest, FSinceTurn.elapsed()); }

private:
    QElapsedTimer FSinceTurn;
    qint64 FLongest = 0;
    QTimer FTicks;
};

}  // namespace testsupport
