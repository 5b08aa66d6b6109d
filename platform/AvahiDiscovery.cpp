#include "platform/AvahiDiscovery.h"

#include <unistd.h>

#include <algorithm>
#include <map>

#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#ifndef WEXLO_VERSION
#define WEXLO_VERSION "unknown"
#endif

namespace {
std::string ErrorText(int Code) {
    return avahi_strerror(Code);
}

// A TXT value of an announcement; empty when it has none.
std::string TxtValue(AvahiStringList* Txt, const char* Key) {
    AvahiStringList* item = avahi_string_list_find(Txt, Key);
    char* key = nullptr;
    char* value = nullptr;
    std::string text;
    if (item && avahi_string_list_get_pair(item, &key, &value, nullptr) == 0 && value)
        text = value;
    avahi_free(key);
    avahi_free(value);
    return text;
}

// Peers say what they like: only a plain port number counts.
int PortValue(const std::string& Text) {
    if (Text.empty() || Text.size() > 5) return 0;
    int port = 0;
    for (char c : Text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}
}  // namespace

std::string ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "wexlo";
    const std::string host = name;
    const std::string computer = host.substr(0, host.find('.'));
    return computer.empty() ? "wexlo" : computer;
}

// One browse of our service type, with a resolver kept on every instance seen
// so that a changed announcement is reported again.
class TAvahiBrowser : public IServiceBrowser {
public:
    explicit TAvahiBrowser(TAvahiDiscovery& Owner) : FOwner(Owner) {
        FOwner.FBrowsers.push_back(this);
        if (FOwner.FRunning) Start();
    }
    ~TAvahiBrowser() override {
        Stop(false);
        std::erase(FOwner.FBrowsers, this);
    }

    void Start() {
        if (FBrowser) return;
        FBrowser = avahi_service_browser_new(FOwner.FClient, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                             WexloServiceType, nullptr, AvahiLookupFlags(0),
                                             BrowseEvent, this);
        if (!FBrowser)
            FOwner.Say("cannot browse: " + ErrorText(avahi_client_errno(FOwner.FClient)));
    }

    // The client's objects go with the client; what was reported is gone.
    void Stop(bool Report) {
        for (auto& [key, entry] : FResolvers) {
            if (entry.Resolver) avahi_service_resolver_free(entry.Resolver);
            if (Report && entry.Reported && OnGone) OnGone(key);
        }
        FResolvers.clear();
        if (FBrowser) avahi_service_browser_free(FBrowser);
        FBrowser = nullptr;
    }

private:
    struct TEntry {
        AvahiServiceResolver* Resolver = nullptr;
        bool Reported = false;
    };

    static std::string KeyOf(AvahiIfIndex Interface, const char* Name, const char* Domain) {
        return std::to_string(Interface) + "/" + Name + "/" + Domain;
    }

    static void BrowseEvent(AvahiServiceBrowser*, AvahiIfIndex Interface, AvahiProtocol Protocol,
                            AvahiBrowserEvent Event, const char* Name, const char* Type,
                            const char* Domain, AvahiLookupResultFlags, void* Self) {
        auto* self = static_cast<TAvahiBrowser*>(Self);
        if (Event == AVAHI_BROWSER_FAILURE) {
            self->FOwner.Say("browsing failed: " +
                             ErrorText(avahi_client_errno(self->FOwner.FClient)));
            return;
        }
        if (Event != AVAHI_BROWSER_NEW && Event != AVAHI_BROWSER_REMOVE) return;
        const std::string key = KeyOf(Interface, Name, Domain);
        if (Event == AVAHI_BROWSER_NEW) {
            if (self->FResolvers.count(key)) return;
            TEntry& entry = self->FResolvers[key];
            entry.Resolver = avahi_service_resolver_new(
                self->FOwner.FClient, Interface, Protocol, Name, Type, Domain, AVAHI_PROTO_INET,
                AvahiLookupFlags(0), ResolveEvent, self);
            return;
        }
        const auto found = self->FResolvers.find(key);
        if (found == self->FResolvers.end()) return;
        const bool reported = found->second.Reported;
        if (found->second.Resolver) avahi_service_resolver_free(found->second.Resolver);
        self->FResolvers.erase(found);
        if (reported && self->OnGone) self->OnGone(key);
    }

    static void ResolveEvent(AvahiServiceResolver*, AvahiIfIndex Interface, AvahiProtocol,
                             AvahiResolverEvent Event, const char* Name, const char*,
                             const char* Domain, const char* HostName, const AvahiAddress* Address,
                             uint16_t Port, AvahiStringList* Txt, AvahiLookupResultFlags Flags,
                             void* Self) {
        auto* self = static_cast<TAvahiBrowser*>(Self);
        if (Event != AVAHI_RESOLVER_FOUND || !Address || Address->proto != AVAHI_PROTO_INET)
            return;
        const std::string key = KeyOf(Interface, Name, Domain);
        const auto found = self->FResolvers.find(key);
        if (found == self->FResolvers.end()) return;
        TServiceRecord record;
        record.Key = key;
        record.Instance = Name;
        record.HostName = HostName ? HostName : "";
        char address[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(address, sizeof address, Address);
        record.Address = address;
        // A daemon that also works on the loopback interface reports this
        // computer's copies there once more.
        if (record.Address.rfind("127.", 0) == 0) return;
        record.Port = Port;
        record.TalkPort = PortValue(TxtValue(Txt, "talk"));
        record.Version = TxtValue(Txt, "version");
        record.Local = Flags & AVAHI_LOOKUP_RESULT_LOCAL;
        found->second.Reported = true;
        if (self->OnFound) self->OnFound(record);
    }

    TAvahiDiscovery& FOwner;
    AvahiServiceBrowser* FBrowser = nullptr;
    std::map<std::string, TEntry> FResolvers;
};

TAvahiDiscovery::TAvahiDiscovery(TLog Log) : FLog(std::move(Log)) {}

TAvahiDiscovery::~TAvahiDiscovery() {
    for (TAvahiBrowser* browser : FBrowsers) browser->Stop(false);
    // Freeing the client takes the announcement off the network.
    if (FClient) avahi_client_free(FClient);
}

void TAvahiDiscovery::Say(const std::string& Line) {
    if (FLog) FLog("Network discovery: " + Line);
}

void TAvahiDiscovery::Connect() {
    if (FClient) return;
    int error = 0;
    // NO_FAIL: a daemon that is not running yet is waited for, not an error.
    FClient = avahi_client_new(FPoll.Poll(), AVAHI_CLIENT_NO_FAIL, ClientEvent, this, &error);
    if (!FClient) Down(ErrorText(error));
}

void TAvahiDiscovery::Down(const std::string& Reason) {
    FUnavailable = Reason.empty() ? "not available" : Reason;
    if (std::exchange(FSaidDown, true)) return;
    Say("Avahi is not available (" + FUnavailable +
        "); this computer is not announced and no others are listed");
}

void TAvahiDiscovery::Reconnect() {
    for (TAvahiBrowser* browser : FBrowsers) browser->Stop(true);
    FGroup = nullptr;  // freed with the client
    FEstablished.clear();
    if (FClient) avahi_client_free(FClient);
    FClient = nullptr;
    Connect();
}

void TAvahiDiscovery::ClientEvent(AvahiClient* Client, AvahiClientState State, void* Self) {
    auto* self = static_cast<TAvahiDiscovery*>(Self);
    // The first event may come before avahi_client_new has returned.
    self->FClient = Client;
    self->FRunning = State == AVAHI_CLIENT_S_RUNNING;
    switch (State) {
        case AVAHI_CLIENT_S_RUNNING:
            self->FUnavailable.clear();
            if (std::exchange(self->FSaidDown, false)) self->Say("Avahi is available again");
            if (self->FAnnounce) self->Register();
            for (TAvahiBrowser* browser : self->FBrowsers) browser->Start();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's own records are being (re)made: ours follow once running.
            if (self->FGroup) avahi_entry_group_reset(self->FGroup);
            self->FEstablished.clear();
            break;
        case AVAHI_CLIENT_CONNECTING:
            self->Down("the Avahi daemon is not running");
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int error = avahi_client_errno(Client);
            self->Down(ErrorText(error));
            // A daemon that went away: wait for the next one, out of this call.
            if (error == AVAHI_ERR_DISCONNECTED)
                QTimer::singleShot(0, &self->FContext, [self] { self->Reconnect(); });
            break;
        }
    }
}

void TAvahiDiscovery::Announce(const TAnnouncement& What) {
    const bool same = FAnnounce && What.Name == FWanted.Name && What.Port == FWanted.Port &&
                      What.TalkPort == FWanted.TalkPort;
    if (same) return;
    if (!FAnnounce || What.Name != FWanted.Name) FName = What.Name;
    FAnnounce = true;
    FWanted = What;
    // A client made now registers from its first event; registering twice
    // would hold the second one back by a second.
    if (!FClient)
        Connect();
    else if (FRunning)
        Register();
}

void TAvahiDiscovery::Withdraw() {
    FAnnounce = false;
    FEstablished.clear();
    if (FGroup) avahi_entry_group_reset(FGroup);
}

std::unique_ptr<IServiceBrowser> TAvahiDiscovery::Browse() {
    auto browser = std::make_unique<TAvahiBrowser>(*this);
    Connect();
    return browser;
}

void TAvahiDiscovery::Register() {
    if (!FGroup) FGroup = avahi_entry_group_new(FClient, GroupEvent, this);
    if (!FGroup) {
        Say("cannot announce: " + ErrorText(avahi_client_errno(FClient)));
        return;
    }
    avahi_entry_group_reset(FGroup);
    FEstablished.clear();
    const std::string talk = "talk=" + std::to_string(FWanted.TalkPort);
    const std::string version = "version=" WEXLO_VERSION;
    for (;;) {
        int error = avahi_entry_group_add_service(
            FGroup, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), FName.c_str(),
            WexloServiceType, nullptr, nullptr, static_cast<uint16_t>(FWanted.Port), talk.c_str(),
            version.c_str(), nullptr);
        if (error == AVAHI_ERR_COLLISION) {
            // Another service of ours on this host has the name: take the next.
            char* other = avahi_alternative_service_name(FName.c_str());
            FName = other;
            avahi_free(other);
            continue;
        }
        if (error == 0) error = avahi_entry_group_commit(FGroup);
        if (error < 0) Say("cannot announce: " + ErrorText(error));
        return;
    }
}

void TAvahiDiscovery::GroupEvent(AvahiEntryGroup* Group, AvahiEntryGroupState State, void* Self) {
    auto* self = static_cast<TAvahiDiscovery*>(Self);
    self->FGroup = Group;
    switch (State) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->FEstablished = self->FName;
            if (self->OnAnnounced) self->OnAnnounced();
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: {
            // Someone on the network has the name: the alternative, never giving up.
            char* other = avahi_alternative_service_name(self->FName.c_str());
            self->Say("the name \"" + self->FName + "\" is taken; announcing as \"" + other + "\"");
            self->FName = other;
            avahi_free(other);
            QTimer::singleShot(0, &self->FContext, [self] {
                if (self->FAnnounce && self->FRunning) self->Register();
            });
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->Say("announcing failed: " +
                      ErrorText(avahi_client_errno(avahi_entry_group_get_client(Group))));
            if (self->OnAnnounced) self->OnAnnounced();
            break;
        default:
            break;
    }
}
