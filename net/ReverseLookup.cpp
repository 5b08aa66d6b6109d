#include "net/ReverseLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace ReverseLookup {
namespace {
using Clock = std::chrono::steady_clock;

constexpr size_t MaxEntries = 256;
// A resolver that hangs holds one worker per address; past this many the
// caller gets no name rather than another thread.
constexpr int MaxRunning = 16;

// Told of an answer on the thread of its context (the UI thread).
struct TWaiter {
    QPointer<QObject> Context;
    std::function<void(const std::string&)> Done;
    bool Told = false;
};

struct TEntry {
    bool Done = false;
    std::string Name;
    Clock::time_point DoneAt;
    std::optional<Clock::time_point> GiveUpAt;
    std::vector<std::shared_ptr<TWaiter>> Waiters;  // touched on the waiters' thread only
};

// Delivers one waiter's answer on its context's thread.
void Tell(const std::shared_ptr<TWaiter>& waiter, const std::string& name) {
    if (waiter->Told || !waiter->Context) return;
    waiter->Told = true;
    waiter->Done(name);
}

struct TCache {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::unordered_map<uint32_t, std::shared_ptr<TEntry>> Entries;
    TResolver Resolver;
    std::chrono::milliseconds Lifetime = DefaultLifetime;
    int Running = 0;
    QObject* Notifier = nullptr;  // lives on the thread of the first WhenNamed
};

// Never destroyed: a worker stuck in the resolver may outlive main().
TCache& Cache() {
    static TCache* cache = new TCache;
    return *cache;
}

bool Fresh(const TCache& c, const TEntry& e, Clock::time_point now) {
    return !e.Done || now - e.DoneAt < c.Lifetime;
}

void Prune(TCache& c, Clock::time_point now) {
    std::erase_if(c.Entries, [&](const auto& item) { return !Fresh(c, *item.second, now); });
    if (c.Entries.size() >= MaxEntries)
        std::erase_if(c.Entries, [](const auto& item) { return item.second->Done; });
}

// On the waiters' thread, once the answer is in.
void TellAll(const std::shared_ptr<TEntry>& entry) {
    std::string name;
    {
        std::lock_guard lock(Cache().Mutex);
        name = entry->Name;
    }
    for (const auto& waiter : std::exchange(entry->Waiters, {})) Tell(waiter, name);
}

void Work(std::shared_ptr<TEntry> entry, TResolver resolver, uint32_t address) {
    std::string name;
    try {
        name = resolver(address);
    } catch (...) {
        name.clear();
    }
    TCache& c = Cache();
    QObject* notifier;
    {
        std::lock_guard lock(c.Mutex);
        entry->Name = std::move(name);
        entry->Done = true;
        entry->DoneAt = Clock::now();
        --c.Running;
        c.Changed.notify_all();
        notifier = c.Notifier;
    }
    // The waiters hear of it on their own thread.
    if (notifier)
        QMetaObject::invokeMethod(
            notifier, [entry] { TellAll(entry); }, Qt::QueuedConnection);
}

// Called under the cache's lock. The kept or running entry for address, or a
// new one with its worker started; null when no worker can be had.
std::shared_ptr<TEntry> EntryFor(TCache& c, uint32_t address) {
    const auto now = Clock::now();
    if (auto it = c.Entries.find(address); it != c.Entries.end() && Fresh(c, *it->second, now))
        return it->second;
    if (c.Running >= MaxRunning) return nullptr;
    Prune(c, now);
    auto entry = std::make_shared<TEntry>();
    TResolver resolver = c.Resolver ? c.Resolver : TResolver(&ResolveWithSystem);
    try {
        std::thread(Work, entry, std::move(resolver), address).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    ++c.Running;
    c.Entries[address] = entry;
    return entry;
}
}  // namespace

std::string ResolveWithSystem(uint32_t Address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = Address;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return {};
    return host;
}

bool Known(uint32_t Address, std::string& Name) {
    TCache& c = Cache();
    std::lock_guard lock(c.Mutex);
    const std::shared_ptr<TEntry> entry = EntryFor(c, Address);
    Name.clear();
    if (!entry) return true;  // no worker to be had: no name
    if (entry->Done) {
        Name = entry->Name;
        return true;
    }
    return entry->GiveUpAt && Clock::now() >= *entry->GiveUpAt;
}

void WhenNamed(uint32_t Address, QObject* Context, std::function<void(const std::string&)> Done,
               std::chrono::milliseconds Bound) {
    auto waiter = std::make_shared<TWaiter>(TWaiter{Context, std::move(Done)});
    TCache& c = Cache();
    std::unique_lock lock(c.Mutex);
    if (!c.Notifier) c.Notifier = new QObject;  // never destroyed, as the cache
    const std::shared_ptr<TEntry> entry = EntryFor(c, Address);
    std::string name;
    std::chrono::milliseconds left{0};
    if (entry && !entry->Done) {
        const auto now = Clock::now();
        if (!entry->GiveUpAt) entry->GiveUpAt = now + Bound;
        left = std::chrono::ceil<std::chrono::milliseconds>(*entry->GiveUpAt - now);
        if (left.count() > 0) entry->Waiters.push_back(waiter);
    } else if (entry) {
        name = entry->Name;
    }
    lock.unlock();
    if (left.count() > 0) {
        // The bound: whoever is still waiting then gets no name.
        QTimer::singleShot(left, Context, [waiter] { Tell(waiter, std::string()); });
        return;
    }
    QMetaObject::invokeMethod(
        Context, [waiter, name] { Tell(waiter, name); }, Qt::QueuedConnection);
}

void Prefetch(uint32_t Address) {
    TCache& c = Cache();
    std::lock_guard lock(c.Mutex);
    EntryFor(c, Address);
}

std::string Name(uint32_t Address, std::chrono::milliseconds MaxWait) {
    TCache& c = Cache();
    std::unique_lock lock(c.Mutex);
    std::shared_ptr<TEntry> entry = EntryFor(c, Address);
    if (!entry) return {};
    if (!entry->Done) {
        if (!entry->GiveUpAt) entry->GiveUpAt = Clock::now() + MaxWait;
        c.Changed.wait_until(lock, *entry->GiveUpAt, [&] { return entry->Done; });
    }
    return entry->Done ? entry->Name : std::string();
}

TResolver SetResolver(TResolver Resolver) {
    TCache& c = Cache();
    std::lock_guard lock(c.Mutex);
    TResolver previous = std::move(c.Resolver);
    c.Resolver = std::move(Resolver);
    return previous;
}

std::chrono::milliseconds SetLifetime(std::chrono::milliseconds Lifetime) {
    TCache& c = Cache();
    std::lock_guard lock(c.Mutex);
    return std::exchange(c.Lifetime, Lifetime);
}

void Forget() {
    TCache& c = Cache();
    std::lock_guard lock(c.Mutex);
    c.Entries.clear();
}

}  // namespace ReverseLookup
