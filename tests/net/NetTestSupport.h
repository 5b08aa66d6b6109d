#pragma once

// Helpers shared by the socket layer's tests: raw loopback peers, a recorder of
// what reaches the application's exception handler, and a resolver that hangs
// until released.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include "net/HostLookup.h"
#include "net/ReverseLookup.h"
#include "net/SocketError.h"
#include "platform/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace nettest {

inline sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A plain socket on the other end, non-blocking once connected.
class TRawPeer {
public:
    TRawPeer() = default;
    explicit TRawPeer(int fd) : Fd(fd) {}
    TRawPeer(TRawPeer&& o) noexcept : Fd(std::exchange(o.Fd, -1)) {}
    ~TRawPeer() {
        if (Fd >= 0) ::close(Fd);
    }

    // Connects blocking (the listener's backlog completes it), then goes non-blocking.
    static TRawPeer Connect(int port) {
        TRawPeer p(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in a = Loopback(port);
        if (::connect(p.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) p.Reset(-1);
        if (p.Fd >= 0) fcntl(p.Fd, F_SETFL, O_NONBLOCK);
        return p;
    }

    bool Send(const std::string& text) {
        return ::send(Fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }

    // Reads what arrives while the event loop runs, until the peer closes
    // (Closed), resets (Reset is set) or the time is up.
    std::string ReadUntilClosed(int timeoutMs = 20000) {
        std::string data;
        testsupport::WaitUntil(
            [&] {
                char buffer[65536];
                const ssize_t n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) data.append(buffer, size_t(n));
                if (n == 0) Closed = true;
                if (n < 0 && errno != EAGAIN) ResetSeen = true;
                return Closed || ResetSeen;
            },
            timeoutMs);
        return data;
    }

    // Closes with a reset instead of a graceful close.
    void Abort() {
        linger l{1, 0};
        setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Reset(-1);
    }

    void Reset(int fd) {
        if (Fd >= 0) ::close(Fd);
        Fd = fd;
    }

    int Fd = -1;
    bool Closed = false;
    bool ResetSeen = false;
};

// Collects what reaches the application's exception handler.
class TExceptionLog {
public:
    struct TEntry {
        QObject* Sender;
        std::string Message;
        int HelpContext;
    };
    TExceptionLog() {
        FPrevious = SetExceptionHandler([this](QObject* sender, const Exception& e) {
            Entries.push_back({sender, e.Message(), e.HelpContext()});
        });
    }
    ~TExceptionLog() { SetExceptionHandler(FPrevious); }
    std::vector<TEntry> Entries;

private:
    TExceptionEvent FPrevious;
};

// A resolver that stands for one that never answers: it blocks until
// released (or for ten seconds at most) and then gives Answer.
class TStuckResolver {
public:
    void Release() {
        std::lock_guard lock(FMutex);
        FReleased = true;
        FChanged.notify_all();
    }
    void Wait() {
        std::unique_lock lock(FMutex);
        ++Calls;
        FChanged.wait_for(lock, std::chrono::seconds(10), [this] { return FReleased; });
    }
    int CallCount() {
        std::lock_guard lock(FMutex);
        return Calls;
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FReleased = false;
    int Calls = 0;
};

// Installs forward and reverse resolvers for a test and restores the system's.
// Names of hosts ending in ".stuck" hang on Stuck; everything else resolves
// normally. Reverse lookups answer "name-of-<address>" unless replaced.
class TResolverSeams {
public:
    TResolverSeams() {
        ReverseLookup::Forget();
        ReverseLookup::SetResolver([](uint32_t address) {
            in_addr a{address};
            return std::string("name-of-") + inet_ntoa(a);
        });
        THostLookup::SetResolver([stuck = Stuck](const std::string& host) {
            if (host.size() > 6 && host.ends_with(".stuck")) {
                stuck->Wait();
                return THostLookup::ResolveWithSystem("127.0.0.1");
            }
            return THostLookup::ResolveWithSystem(host);
        });
    }
    ~TResolverSeams() {
        Stuck->Release();
        Reverse->Release();
        THostLookup::SetResolver(nullptr);
        ReverseLookup::SetResolver(nullptr);
        ReverseLookup::SetLifetime(ReverseLookup::DefaultLifetime);
        ReverseLookup::Forget();
    }
    std::shared_ptr<TStuckResolver> Stuck = std::make_shared<TStuckResolver>();
    std::shared_ptr<TStuckResolver> Reverse = std::make_shared<TStuckResolver>();
};

// Runs the event loop for ms without polling it, so the thread sleeps unless
// something wakes it. Returns how often the event dispatcher woke up.
inline int IdleFor(int ms) {
    int wakeups = 0;
    QAbstractEventDispatcher* dispatcher = QThread::currentThread()->eventDispatcher();
    auto counter =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeups; });
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counter);
    return wakeups;
}

inline double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

inline double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace nettest
