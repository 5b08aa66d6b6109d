#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>

#include "platform/AvahiPoll.h"
#include "platform/ServiceDiscovery.h"

class TAvahiBrowser;

// DNS-SD through the desktop's Avahi daemon (avahi-client, on the system bus),
// run on the calling thread's Qt event loop. The daemon is asked for only when
// something is first announced or browsed. Without a daemon or a bus nothing
// is announced or found, and one line says why; a daemon that starts or
// restarts later is picked up, and the announcement made again.
class TAvahiDiscovery : public IServiceDiscovery {
public:
    using TLog = std::function<void(const std::string& Line)>;
    explicit TAvahiDiscovery(TLog Log = {});
    ~TAvahiDiscovery() override;

    void Announce(const TAnnouncement& What) override;
    void Withdraw() override;
    std::unique_ptr<IServiceBrowser> Browse() override;

    // The name the announcement has on the network (another than the one
    // asked for after a collision); empty while none is established.
    const std::string& AnnouncedName() const { return FEstablished; }
    // Runs when the announcement has been established, or has failed.
    std::function<void()> OnAnnounced;

    // For a one-shot tool: the daemon cannot be reached now (the reason,
    // or empty while it can).
    const std::string& Unavailable() const { return FUnavailable; }

private:
    friend class TAvahiBrowser;
    static void ClientEvent(AvahiClient* Client, AvahiClientState State, void* Self);
    static void GroupEvent(AvahiEntryGroup* Group, AvahiEntryGroupState State, void* Self);
    void Connect();
    void Reconnect();
    void Register();
    void Down(const std::string& Reason);
    void Say(const std::string& Line);

    TAvahiQtPoll FPoll;
    QObject FContext;  // ends the calls queued for later with this object
    TLog FLog;
    AvahiClient* FClient = nullptr;
    AvahiEntryGroup* FGroup = nullptr;
    bool FRunning = false;
    bool FAnnounce = false;
    TAnnouncement FWanted;
    std::string FName;         // the name being registered
    std::string FEstablished;  // the name the network knows
    std::string FUnavailable;
    bool FSaidDown = false;
    std::vector<TAvahiBrowser*> FBrowsers;
};

// This computer's name, as announced: its host name up to the first dot.
std::string ComputerName();
