#pragma once

#include <functional>
#include <memory>
#include <string>

// Finding the other copies on the local network, beside the message protocol:
// each copy announces its message port through the desktop's DNS-SD service,
// and browsers list the announcements they see. Nothing here is needed for
// sending or receiving; without the service both simply stay empty.

// The service type every copy announces.
inline constexpr const char* WexloServiceType = "_wexlo._tcp";

// One announcement seen on the network, resolved to an IPv4 address.
struct TServiceRecord {
    std::string Key;       // tells records apart: one per instance and interface
    std::string Instance;  // the instance name: the announcing computer's name
    std::string HostName;  // its multicast DNS host name ("bravo.local")
    std::string Address;   // dotted IPv4
    int Port = 0;          // its message port
    int TalkPort = 0;      // 0 when the announcement does not say
    std::string Version;   // empty when the announcement does not say
    bool Local = false;    // announced by this computer
};

// Reports the announcements on the network as they come and go. A record may
// be reported again when it changes (a new port, say); OnGone follows when it
// is withdrawn, expires, or the service goes away.
class IServiceBrowser {
public:
    virtual ~IServiceBrowser() = default;
    std::function<void(const TServiceRecord& Record)> OnFound;
    std::function<void(const std::string& Key)> OnGone;
};

// What the program tells the network about itself.
struct TAnnouncement {
    std::string Name;  // instance name wanted; the service may pick another
    int Port = 0;
    int TalkPort = 0;
};

class IServiceDiscovery {
public:
    virtual ~IServiceDiscovery() = default;
    // Announces this copy, replacing an earlier announcement. Kept, and made
    // again, across restarts of the service.
    virtual void Announce(const TAnnouncement& What) = 0;
    // Takes the announcement back; nothing when there is none.
    virtual void Withdraw() = 0;
    // A browser that reports from now on, until it is destroyed.
    virtual std::unique_ptr<IServiceBrowser> Browse() = 0;
};
