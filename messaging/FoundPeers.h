#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ServiceDiscovery.h"

class THostLookup;

// The copies a browser sees, each with the name a user would type for it: the
// computer's name or its multicast DNS host name when that resolves here to
// the address it announced from, its address otherwise. A copy is listed by
// its address at once; its name replaces the address when a lookup confirms
// it (lookups run on workers, never on this thread).
struct TFoundPeer {
    TServiceRecord Record;
    std::string Name;      // what to type: a name that resolves here, or the address
    bool Settled = false;  // no lookup for a better name is still running
};

class TFoundPeers {
public:
    explicit TFoundPeers(std::unique_ptr<IServiceBrowser> Browser);
    ~TFoundPeers();
    TFoundPeers(const TFoundPeers&) = delete;
    TFoundPeers& operator=(const TFoundPeers&) = delete;

    // In the order they were found.
    const std::vector<TFoundPeer>& Peers() const { return FPeers; }
    bool Settled() const;

    // What the send dialog offers: copies on other computers whose message
    // port is Port (the sender dials its own message port, so only those can
    // be reached from there), one entry per name, sorted.
    std::vector<std::string> Offered(int Port) const;

    // Runs after every change of Peers().
    std::function<void()> OnChanged;

private:
    void Found(const TServiceRecord& Record);
    void Gone(const std::string& Key);
    void LookUpNext(const std::string& Key);
    TFoundPeer* Find(const std::string& Key);
    void Changed();

    std::unique_ptr<IServiceBrowser> FBrowser;
    std::vector<TFoundPeer> FPeers;
    struct TPending {
        std::string Key;
        std::vector<std::string> Candidates;  // still to try, first first
        std::unique_ptr<THostLookup> Lookup;
    };
    std::vector<std::unique_ptr<TPending>> FPending;
};
