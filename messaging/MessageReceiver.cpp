#include "messaging/MessageReceiver.h"

#include <algorithm>
#include <cstdint>

#include <QTimer>

#include "messaging/WireFormat.h"
#include "net/SocketConnection.h"
#include "platform/Exceptions.h"
#include "platform/Sound.h"
#include "store/TimeStamp.h"

namespace {
// Ethernet's segment, for a socket that cannot tell its own.
constexpr int DefaultSegmentSize = 1448;
}  // namespace

void PlayArrivalSound(const TArrivalOptions& Options, ISoundPlayer& Sound) {
    if (!Options.BeepOnMessage || Options.DisableAlerts) return;
    if (Options.DefaultSound) {
        Sound.Beep();
    } else if (!Options.CustomSound.empty()) {
        Sound.PlayFile(Options.CustomSound);
    }
}

TMessageReceiver::~TMessageReceiver() {
    for (auto& [socket, pending] : FPending) QObject::disconnect(pending.Gone);
    for (auto& [address, queue] : FHeld)
        for (THeld& h : queue) QObject::disconnect(h.Gone);
}

void TMessageReceiver::ServerSocketClientRead(QObject*, TSocketConnection* Socket) {
    // A connection whose request waits for its peer's name reads no more;
    // it is answered (or reset) and closed when the name comes.
    if (FHolding.count(Socket)) return;
    try {
        if (FPending.count(Socket)) {
            Collected(Socket, Socket->ReceiveAvailable());
            return;
        }
        std::string request = Socket->ReceiveAvailable();
        // Less than a full segment: nothing more is on the way.
        // The link's own segment: a peer may announce one smaller than
        // the 536 bytes every host must take.
        const int segment = Socket->SegmentSize();
        if (request.size() < std::size_t(segment > 0 ? segment : DefaultSegmentSize))
            Handle(Socket, request);
        else
            StartCollecting(Socket, std::move(request));
    } catch (...) {
        Forget(Socket);
        Socket->Close();
        throw;
    }
}

void TMessageReceiver::ServerSocketClientDisconnect(QObject*, TSocketConnection* Socket) {
    if (FPending.count(Socket)) Finish(Socket);
}

void TMessageReceiver::StartCollecting(TSocketConnection* Socket, std::string Request) {
    if (Request.size() > Limits.MaxBytes) {
        Request.resize(Limits.MaxBytes);
        Handle(Socket, Request, true);
        return;
    }
    TPending& pending = FPending[Socket];
    pending.Request = std::move(Request);
    pending.Deadline = QDeadlineTimer(Limits.MaxWaitMs);
    pending.Timer = new QTimer(this);
    pending.Timer->setSingleShot(true);
    connect(pending.Timer, &QTimer::timeout, this, [this, Socket] { QuietTimeUp(Socket); });
    // A server that closes destroys its connections without events.
    pending.Gone = connect(Socket, &QObject::destroyed, this, [this, Socket] { Forget(Socket); });
    AwaitMore(Socket, pending);
}

void TMessageReceiver::AwaitMore(TSocketConnection* Socket, TPending& Pending) {
    // A pause of a few round trips is the sender waiting for acknowledgements,
    // and one of a retransmission time-out is a lost segment being sent again:
    // neither is the end of the request.
    const TSocketConnection::TLinkInfo link = Socket->LinkInfo();
    const std::int64_t roundTripMs = link.RoundTripUs / 1000;
    const std::int64_t quietMs = std::max<std::int64_t>(
        {Limits.MinQuietMs, 4 * roundTripMs, link.RetransmitUs / 1000 + roundTripMs});
    const std::int64_t remainingMs = Pending.Deadline.remainingTime();
    Pending.Clipped = remainingMs < quietMs;
    Pending.Timer->start(int(std::min(quietMs, remainingMs)));
}

void TMessageReceiver::Collected(TSocketConnection* Socket, const std::string& More) {
    const auto it = FPending.find(Socket);
    if (it == FPending.end()) return;  // a failure while reading has ended it
    TPending& pending = it->second;
    // One byte past the limit tells a request that is too long from one that
    // is exactly as long as allowed.
    pending.Request.append(More, 0,
                           std::min(More.size(), Limits.MaxBytes + 1 - pending.Request.size()));
    const bool tooLong = pending.Request.size() > Limits.MaxBytes;
    // Too long, or not known to be whole when the time is up (still
    // arriving, or quiet for less than the quiet time): the request is cut.
    if (tooLong || pending.Deadline.hasExpired()) {
        if (tooLong) pending.Request.resize(Limits.MaxBytes);
        Finish(Socket, tooLong || !More.empty() || pending.Clipped);
        return;
    }
    if (!More.empty()) AwaitMore(Socket, pending);
}

void TMessageReceiver::QuietTimeUp(TSocketConnection* Socket) {
    Socket->Dispatch([this, Socket] {
        try {
            // Bytes that came while the event loop was busy elsewhere are no
            // pause of the sender's.
            const std::string more = Socket->ReceiveAvailable();
            if (!more.empty()) {
                Collected(Socket, more);
                return;
            }
            // Quiet for the whole quiet time: the peer is done. Quiet only
            // since a wait the deadline cut short: it may still be sending.
            const auto it = FPending.find(Socket);
            if (it != FPending.end()) Finish(Socket, it->second.Clipped);
        } catch (...) {
            Forget(Socket);
            Socket->Close();
            throw;
        }
    });
}

void TMessageReceiver::Finish(TSocketConnection* Socket, bool Cut) {
    if (!FPending.count(Socket)) return;
    Handle(Socket, Forget(Socket), Cut);
}

std::string TMessageReceiver::Forget(TSocketConnection* Socket) {
    auto node = FPending.extract(Socket);
    if (node.empty()) return {};
    TPending& pending = node.mapped();
    QObject::disconnect(pending.Gone);
    pending.Timer->stop();
    pending.Timer->deleteLater();  // its own timeout may be running
    return std::move(pending.Request);
}

std::size_t TMessageReceiver::AwaitingNames() const {
    return FHolding.size();
}

void TMessageReceiver::Handle(TSocketConnection* Socket, const std::string& Request, bool Cut) {
    std::string peerAddress, peerName;
    try {
        peerAddress = Socket->PeerAddress();
    } catch (...) {
        Socket->Close();
        throw;
    }
    auto& queue = FHeld[peerAddress];
    // Behind an earlier request from the same address, or until the name comes.
    if (queue.empty() && Socket->PeerNameKnown(peerName)) {
        FHeld.erase(peerAddress);
        HandleNamed(Socket, Request, Cut, peerName, peerAddress);
        return;
    }
    FHolding.insert(Socket);
    queue.push_back(
        {Socket, Request, Cut, peerAddress,
         connect(Socket, &QObject::destroyed, this, [this, Socket] { FHolding.erase(Socket); })});
    if (queue.size() == 1)
        Socket->WhenPeerNamed(
            this, [this, peerAddress](const std::string& name) { Named(peerAddress, name); });
}

void TMessageReceiver::Named(const std::string& PeerAddress, const std::string& PeerName) {
    const auto it = FHeld.find(PeerAddress);
    if (it == FHeld.end()) return;
    std::deque<THeld> held = std::move(it->second);
    FHeld.erase(it);
    for (THeld& h : held) {
        QObject::disconnect(h.Gone);
        if (h.Socket) {
            FHolding.erase(h.Socket.data());
            TSocketConnection* socket = h.Socket.data();
            socket->Dispatch([&] { HandleNamed(socket, h.Request, h.Cut, PeerName, PeerAddress); });
        } else {
            // The peer is gone; its message is still recorded and shown.
            Guarded(this, [&] { HandleNamed(nullptr, h.Request, h.Cut, PeerName, PeerAddress); });
        }
    }
}

void TMessageReceiver::HandleNamed(TSocketConnection* Socket, const std::string& Request, bool Cut,
                                   const std::string& PeerName, const std::string& PeerAddress) {
    const auto close = [Socket] {
        if (Socket) Socket->Close();
    };
    try {
        const TArrivalOptions options = FHost.ArrivalOptions();
        const std::string& peerName = PeerName;
        const std::string& peerAddress = PeerAddress;
        const TRequestWork work =
            ReadRequest(Request, peerName, peerAddress, TimeStamp(), options.AutoResponse);
        const std::string& text = work.Text;

        FHost.RecordReceived(work.Entry);

        PlayArrivalSound(options, FHost.Sound());

        if (options.AlertOnMessage && !options.DisableAlerts) {
            try {
                FHost.ShowAlert("Message from " + peerName + " (" + peerAddress + ")", text,
                                options.AlertsOnTop, options.AutoResponse);
            } catch (...) {
                // The window is gone already; the message is recorded and
                // answered, and counted, or nothing would tell of it.
                FHost.CountUnread();
            }
        } else {
            FHost.CountUnread();
        }

        if (!Socket) return;
        if (Cut) {
            Socket->Abort();
            return;
        }
        if (work.WantsReply)
            Socket->SendString(BuildStatusReply(options.DisableAlerts, options.AutoResponse,
                                                FHost.ResponseMessage()));
    } catch (...) {
        close();
        throw;
    }
    close();
}
