#pragma once

// Helpers shared by the socket layer's tests: raw loopback peers, a recorder of
// what reaches the application's exception handler, and a resolver that hangs
// until released.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include "net/AsyncServerSocket.h"
#include "net/HostLookup.h"
#include "net/ReverseLookup.h"
#include "net/SocketError.h"
#include "platform/Exceptions.h"
#include "tests/support/RawPeers.h"
#include "tests/support/TestSupport.h"

namespace nettest {

using testsupport::RawClient;
using testsupport::RawListener;
using testsupport::WaitUntil;

// Waits until the program closed C's connection: true if it closed, not reset.
inline bool ClosedGracefully(RawClient& C) {
    return C.WaitClosed() && C.error == 0;
}

// A plain socket, closed when it goes.
struct TPlainSocket {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~TPlainSocket() {
        if (Fd >= 0) ::close(Fd);
    }
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

// A server on a free port (not yet open) with no failure hook, the resolvers
// of the seams, and a log of events the test writes.
class TSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSocketFailureHook(nullptr);
        port = testsupport::FreeTcpPort();
        server.SetPort(port);
    }
    void TearDown() override { SetSocketFailureHook(nullptr); }
    bool Logged(const std::string& Entry) { return std::ranges::count(log, Entry) > 0; }

    TResolverSeams seams;
    TExceptionLog exceptions;
    int port = 0;
    TAsyncServerSocket server;
    std::vector<std::string> log;
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
