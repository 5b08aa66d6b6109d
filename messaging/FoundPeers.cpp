#include "messaging/FoundPeers.h"

#include <arpa/inet.h>

#include <algorithm>

#include <QString>

#include "net/HostLookup.h"

namespace {
// Announced names are the peer's to choose: only one that could be a host
// name is worth a lookup.
bool LooksLikeHostName(const std::string& Name) {
    if (Name.empty() || Name.size() > 253 || Name.front() == '-' || Name.front() == '.')
        return false;
    return std::all_of(Name.begin(), Name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

std::string Dotted(uint32_t Address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = Address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool SameName(const std::string& A, const std::string& B) {
    return QString::fromUtf8(A).compare(QString::fromUtf8(B), Qt::CaseInsensitive) == 0;
}
}  // namespace

TFoundPeers::TFoundPeers(std::unique_ptr<IServiceBrowser> Browser) : FBrowser(std::move(Browser)) {
    FBrowser->OnFound = [this](const TServiceRecord& Record) { Found(Record); };
    FBrowser->OnGone = [this](const std::string& Key) { Gone(Key); };
}

TFoundPeers::~TFoundPeers() {
    FBrowser->OnFound = nullptr;
    FBrowser->OnGone = nullptr;
}

bool TFoundPeers::Settled() const {
    return std::all_of(FPeers.begin(), FPeers.end(), [](const TFoundPeer& p) { return p.Settled; });
}

TFoundPeer* TFoundPeers::Find(const std::string& Key) {
    for (TFoundPeer& peer : FPeers)
        if (peer.Record.Key == Key) return &peer;
    return nullptr;
}

void TFoundPeers::Changed() {
    if (OnChanged) OnChanged();
}

void TFoundPeers::Found(const TServiceRecord& Record) {
    TFoundPeer* peer = Find(Record.Key);
    if (peer && peer->Record.Address == Record.Address &&
        peer->Record.HostName == Record.HostName && peer->Record.Instance == Record.Instance) {
        // Same computer, new details (a port): the name still holds.
        peer->Record = Record;
        Changed();
        return;
    }
    if (!peer) {
        FPeers.push_back({});
        peer = &FPeers.back();
    }
    peer->Record = Record;
    peer->Name = Record.Address;
    peer->Settled = false;

    auto pending = std::make_unique<TPending>();
    pending->Key = Record.Key;
    // The plain computer name is what people type; the .local name works
    // where the resolver asks multicast DNS.
    std::string hostName = Record.HostName;
    if (!hostName.empty() && hostName.back() == '.') hostName.pop_back();
    const std::string shortName = hostName.substr(0, hostName.find('.'));
    for (const std::string& name : {Record.Instance, shortName, hostName})
        if (LooksLikeHostName(name) &&
            std::none_of(pending->Candidates.begin(), pending->Candidates.end(),
                         [&](const std::string& c) { return SameName(c, name); }))
            pending->Candidates.push_back(name);
    std::erase_if(FPending, [&](const auto& p) { return p->Key == Record.Key; });
    FPending.push_back(std::move(pending));
    Changed();
    LookUpNext(Record.Key);
}

void TFoundPeers::LookUpNext(const std::string& Key) {
    const auto pending = std::find_if(FPending.begin(), FPending.end(),
                                      [&](const auto& p) { return p->Key == Key; });
    if (pending == FPending.end()) return;
    TPending& p = **pending;
    if (p.Candidates.empty()) {
        FPending.erase(pending);
        if (TFoundPeer* peer = Find(Key)) peer->Settled = true;
        Changed();
        return;
    }
    const std::string name = p.Candidates.front();
    p.Candidates.erase(p.Candidates.begin());
    p.Lookup = THostLookup::Start(name, [this, Key, name](const THostLookup::TResult& Result) {
        TFoundPeer* peer = Find(Key);
        if (peer && Result.Code == 0 && Dotted(Result.Address) == peer->Record.Address) {
            peer->Name = name;
            peer->Settled = true;
            std::erase_if(FPending, [&](const auto& p) { return p->Key == Key; });
            Changed();
            return;
        }
        LookUpNext(Key);
    });
}

void TFoundPeers::Gone(const std::string& Key) {
    std::erase_if(FPending, [&](const auto& p) { return p->Key == Key; });
    const auto before = FPeers.size();
    std::erase_if(FPeers, [&](const TFoundPeer& p) { return p.Record.Key == Key; });
    if (FPeers.size() != before) Changed();
}

std::vector<std::string> TFoundPeers::Offered(int Port) const {
    std::vector<std::string> names;
    for (const TFoundPeer& peer : FPeers) {
        if (peer.Record.Local || peer.Record.Port != Port) continue;
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, peer.Name); }))
            names.push_back(peer.Name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) < 0;
    });
    return names;
}
