#pragma once

// Peers on plain BSD sockets for tests of the message port: a client that
// sends and reads without blocking while the test's event loop runs, and a
// receiver the test answers from.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
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

// A client on a plain socket: connects (the kernel completes the handshake
// without the program's help), then sends and reads without blocking, a bit
// at each Pump, so the test's event loop keeps running.
class RawClient {
public:
    explicit RawClient(int Port, const char* Source = nullptr) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("socket");
        if (Source) {
            const sockaddr_in from = Address(Source, 0);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
                throw std::runtime_error("bind to source");
        }
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
                sent += static_cast<std::size_t>(n);
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            } else {
                error = errno;
                closed = true;  // reset by the program: the rest is not wanted
            }
        }
        char buffer[65536];
        while (!closed) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                closed = true;
            } else if (errno == EAGAIN || errno == EINTR) {
                break;
            } else {
                error = errno;
                closed = true;
            }
        }
        return closed;
    }

    // Waits, with the event loop running, until the program closed the connection.
    bool WaitClosed(int TimeoutMs = 20000) {
        return WaitUntil([this] { return Pump(); }, TimeoutMs);
    }

    // Ends the connection with a reset instead of a close.
    void Reset() {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        fd = -1;
        closed = true;
    }

    int fd = -1;
    std::string pending, got;
    std::size_t sent = 0;
    bool closed = false;
    int error = 0;
};

// A receiver the test controls: accepts and records each connection's bytes
// at every Pump; the test answers and closes as it likes.
class RawListener {
public:
    struct Peer {
        int fd = -1;
        std::string got;
        bool eof = false;
    };

    explicit RawListener(const char* Ip = "127.0.0.1", int Port = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at = Address(Ip, Port);
        socklen_t len = sizeof at;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0)
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
        char buffer[65536];
        for (Peer& p : peers) {
            while (p.fd >= 0 && !p.eof) {
                const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
                if (n > 0)
                    p.got.append(buffer, static_cast<std::size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    p.eof = true;
                else
                    break;
            }
        }
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

    void Reply(std::size_t Index, const std::string& Bytes) {
        ASSERT_EQ(::send(peers[Index].fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(Bytes.size()));
    }
    void Close(std::size_t Index, bool Reset = false) {
        if (Reset) {
            const linger hard{1, 0};
            ::setsockopt(peers[Index].fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        ::close(peers[Index].fd);
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

}  // namespace testsupport
