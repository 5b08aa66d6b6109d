#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// One asynchronous host lookup: a host name or dotted IPv4 address resolved to
// its first IPv4 address on a worker thread, with the answer delivered as an
// event on the thread that started it. Dropping the handle (or Cancel) drops
// the answer: the worker may still be running, but nothing reaches the owner.
class THostLookup {
public:
    struct TResult {
        int Code = 0;          // 0, or the resolver's EAI_* code (negative), or an errno
        uint32_t Address = 0;  // network byte order; valid when Code is 0
    };
    using TDone = std::function<void(const TResult&)>;
    using TResolver = std::function<TResult(const std::string& Host)>;

    // Starts resolving Host; Done runs later from the event loop of the calling
    // thread, never inside Start. A dotted address is answered without a worker.
    static std::unique_ptr<THostLookup> Start(const std::string& Host, TDone Done);
    ~THostLookup();
    void Cancel();

    // Replaces the blocking resolver the workers call (getaddrinfo by default;
    // an empty function restores it). Returns the previous one. For tests.
    static TResolver SetResolver(TResolver Resolver);
    static TResult ResolveWithSystem(const std::string& Host);

private:
    THostLookup() = default;
    struct TShared;
    class TReceiver;
    std::shared_ptr<TShared> FShared;
    TReceiver* FReceiver = nullptr;
};
