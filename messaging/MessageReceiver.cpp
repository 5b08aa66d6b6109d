#include "messaging/MessageReceiver.h"

#include <algorithm>
#include <cstdint>

#include <QTimer>

#include "messaging/WireFormat.h"
#include "net/SocketConnection.h"
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
}

void TMessageReceiver::ServerSocketClientRead(QObject*, TSocketConnection* Socket) {
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
    Pending.Timer->start(int(std::min<std::int64_t>(quietMs, Pending.Deadline.remainingTime())));
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
    // Still arriving when the time is up, or too long: the request is cut.
    if (tooLong || pending.Deadline.hasExpired()) {
        if (tooLong) pending.Request.resize(Limits.MaxBytes);
        Finish(Socket, tooLong || !More.empty());
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
            if (more.empty())
                Finish(Socket);
            else
                Collected(Socket, more);
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

void TMessageReceiver::Handle(TSocketConnection* Socket, const std::string& Request, bool Cut) {
    try {
        const TArrivalOptions options = FHost.ArrivalOptions();
        // One reverse lookup serves the log line and the window title.
        const std::string peerName = Socket->PeerName();
        const std::string peerAddress = Socket->PeerAddress();
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

        if (Cut) {
            Socket->Abort();
            return;
        }
        if (work.WantsReply)
            Socket->SendString(BuildStatusReply(options.DisableAlerts, options.AutoResponse,
                                                FHost.ResponseMessage()));
    } catch (...) {
        Socket->Close();
        throw;
    }
    Socket->Close();
}
