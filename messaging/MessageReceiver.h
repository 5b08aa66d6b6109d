#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>

#include "messaging/MessagingHost.h"
#include "messaging/ReceivedRequest.h"
#include "net/SocketConnection.h"

class QTimer;

// A real sender writes its request right after it connects; a connection on
// the message port that stays silent this long is closed.
constexpr int MessageSilentTimeoutMs = 30000;

// How long the receiver waits for the rest of a request.
struct TRequestLimits {
    int MinQuietMs = 200;  // the peer is done when quiet this long, or longer on a slow link
    int MaxWaitMs = 5000;  // from the first read to handling, at most
    std::size_t MaxBytes = std::size_t(16) << 20;  // a longer request is cut here
};

// Handles one incoming message per connection: it collects the request,
// records it, announces it (sound, alert window or unread count), answers with
// the status reply when the sender's protocol asks for one, and closes.
//
// The protocol has no length and the sender closes nothing, so the end of a
// request is the peer going quiet. A first read shorter than one segment is a
// whole request and is handled at once; a longer one may have more on the
// way, so reading goes on until the peer has been quiet for a while, half-
// closes, or a limit is reached. A request cut by a limit is recorded as it
// arrived, but the connection is reset instead of answered, so the sender
// does not report it as delivered.
//
// The entry and the alert name the peer by reverse lookup, which is never
// waited for: a request whose peer's name is not known yet is held until the
// name comes or its bound (a second) passes, and then handled and answered.
// Requests from one address are handled in the order they were complete;
// one from an address whose name is known does not wait behind another's
// lookup.
class TMessageReceiver : public QObject {
public:
    explicit TMessageReceiver(IMessagingHost& Host) : FHost(Host) {}
    ~TMessageReceiver() override;

    void ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket);
    // The peer's half-close (or a failure) ends a request being collected.
    void ServerSocketClientDisconnect(QObject* Sender, TSocketConnection* Socket);

    TRequestLimits Limits;
    // Connections whose request is still being collected.
    std::size_t Collecting() const { return FPending.size(); }
    // Whole requests waiting for their peer's name.
    std::size_t AwaitingNames() const;

private:
    struct TPending {
        std::string Request;
        QDeadlineTimer Deadline;
        QTimer* Timer = nullptr;
        // The quiet wait now running ends at the deadline, short of the
        // quiet time: silence when it ends does not say the peer is done.
        bool Clipped = false;
        QMetaObject::Connection Gone;
    };

    // A whole (or cut) request whose peer's name is not known yet.
    struct THeld {
        QPointer<TSocketConnection> Socket;  // gone when the peer or the server closed it
        std::string Request;
        bool Cut = false;
        std::string PeerAddress;
        QMetaObject::Connection Gone;  // keeps FHolding free of destroyed connections
    };

    IMessagingHost& FHost;
    std::unordered_map<TSocketConnection*, TPending> FPending;
    std::unordered_map<std::string, std::deque<THeld>> FHeld;  // by peer address, in order
    std::unordered_set<TSocketConnection*> FHolding;           // their connections

    void StartCollecting(TSocketConnection* Socket, std::string Request);
    // Waits for more, as long as the link suggests, within the deadline.
    void AwaitMore(TSocketConnection* Socket, TPending& Pending);
    // Adds what arrived; handles the request once it reaches the size limit
    // or the time is up, else waits for more.
    void Collected(TSocketConnection* Socket, const std::string& More);
    void QuietTimeUp(TSocketConnection* Socket);
    void Finish(TSocketConnection* Socket, bool Cut = false);
    std::string Forget(TSocketConnection* Socket);
    // Handles the request once its peer's name is known.
    void Handle(TSocketConnection* Socket, const std::string& Request, bool Cut = false);
    void Named(const std::string& PeerAddress, const std::string& PeerName);
    // Records, announces and answers; Socket may be null (gone) by now.
    void HandleNamed(TSocketConnection* Socket, const std::string& Request, bool Cut,
                     const std::string& PeerName, const std::string& PeerAddress);
};
