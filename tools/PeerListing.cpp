#include "tools/PeerListing.h"

#include <algorithm>

#include "messaging/FoundPeers.h"
#include "tools/SendTool.h"

namespace {
// Names lookups still running when the time is up get this much longer.
constexpr int NameGraceMs = 1000;

// Announced texts are the peer's: nothing in them may break a line or a column.
std::string Field(const std::string& Text) {
    if (Text.empty()) return "-";
    std::string out = Text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) c = '?';
    return out;
}

std::string PortField(int Port) {
    return Port > 0 ? std::to_string(Port) : "-";
}
}  // namespace

TPeerListing::TPeerListing(IServiceDiscovery& Discovery, int TimeMs, TWriter Out, TWriter Err)
    : FDiscovery(Discovery), FTimeMs(TimeMs), FOut(std::move(Out)), FErr(std::move(Err)) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] { TimeUp(); });
}

TPeerListing::~TPeerListing() = default;

void TPeerListing::Start() {
    FPeers = std::make_unique<TFoundPeers>(FDiscovery.Browse());
    FPeers->OnChanged = [this] {
        if (FTimeUp && FPeers->Settled()) Print();
    };
    FTimer.start(FTimeMs);
}

void TPeerListing::TimeUp() {
    if (FTimeUp) {
        Print();  // the grace is over too
        return;
    }
    FTimeUp = true;
    if (FPeers->Settled())
        Print();
    else
        FTimer.start(NameGraceMs);
}

void TPeerListing::Print() {
    if (std::exchange(FDone, true)) return;
    FTimer.stop();
    std::vector<TFoundPeer> peers = FPeers->Peers();
    std::sort(peers.begin(), peers.end(), [](const TFoundPeer& a, const TFoundPeer& b) {
        return std::tie(a.Name, a.Record.Port) < std::tie(b.Name, b.Record.Port);
    });
    for (const TFoundPeer& p : peers)
        FOut(Field(p.Name) + '\t' + Field(p.Record.Address) + '\t' + PortField(p.Record.Port) +
             '\t' + PortField(p.Record.TalkPort) + '\t' + Field(p.Record.Version) + '\n');
    const std::string unavailable = Unavailable ? Unavailable() : std::string();
    if (peers.empty() && !unavailable.empty())
        FErr("wexlo-send: cannot look for copies on the network: " + unavailable + "\n");
    if (OnFinished) OnFinished(peers.empty() ? SendExit::HostNotFound : SendExit::Sent);
}
