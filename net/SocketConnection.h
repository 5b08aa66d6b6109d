#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <QObject>

#include "net/SocketError.h"

class TSocketConnection;

// The text of a socket failure as the program's boxes tell it; Host is where
// the failed connect was going.
std::string SocketFailureText(TSocketErrorKind Kind, int ErrorCode, TSocketConnection* Socket,
                              const std::string& Host);
// The same with the peer's name and address given.
std::string SocketFailureText(TSocketErrorKind Kind, int ErrorCode, const std::string& PeerName,
                              const std::string& PeerAddress, const std::string& Host);

// A peer whose link was pulled sends no close: keepalive probes, and a bound on
// unacknowledged data, end such a connection within about two minutes instead
// of holding its descriptor for good.
void SetKeepAlive(int Fd);

// Handlers take the socket object whose event it is (client or server) and the
// connection concerned. Error handlers may clear ErrorCode to say "handled".
using TSocketNotifyEvent = std::function<void(QObject* Sender, TSocketConnection* Socket)>;
using TSocketErrorEvent = std::function<void(QObject* Sender, TSocketConnection* Socket,
                                             TSocketErrorKind ErrorEvent, int& ErrorCode)>;

// One TCP connection: a client's own, or one accepted by a server.
// All calls belong to the UI thread.
class TSocketConnection : public QObject {
    Q_OBJECT
public:
    // One send attempt of all of Text. Returns the bytes the platform took
    // (maybe fewer), 0 when not connected or Text is empty, -1 on would-block
    // (OnWrite follows when there is room). Any other failure calls the error
    // handler with ekSend, closes, and raises unless the handler cleared the
    // code; -1 when it did.
    int SendString(const std::string& Text);

    // Hands all of Text to the platform: what it takes now goes at once, the
    // rest waits in the connection's output queue (behind anything queued
    // before) and goes out as the socket becomes writable. When queued output
    // has all gone, OnDrained (OnClientDrained) fires from that write
    // notification, then OnWrite as usual; nothing fires when everything went
    // at once. A failure, now or later, is a failed send as for SendString; so
    // are the peer ending the connection while output waits, and a queue the
    // platform takes nothing of for SendStallMs(). Close drops what is still
    // queued. False when not connected or the send failed.
    bool SendAll(const std::string& Text);
    // Bytes queued by SendAll that the platform has not taken yet. While there
    // are any, SendString sends nothing and returns -1, so bytes never overtake
    // each other.
    std::size_t PendingOutput() const;
    // Output the peer has not acknowledged yet: PendingOutput and what the
    // platform holds still unsent or unacknowledged. An answer or a close
    // from the peer while this is not 0 came before the peer had all of it.
    std::size_t UnsentBytes() const;
    // How long queued output may wait without the platform taking a byte
    // before the send counts as failed (ETIMEDOUT): a peer that stops reading
    // must not hold a send for ever.
    static int SendStallMs();
    static void SetSendStallMs(int Ms);
    static constexpr int DefaultSendStallMs = 60000;

    // Every byte pending right now; empty when none or not connected.
    std::string ReceiveAvailable();
    // At most one read buffer of what is pending: what the read event being
    // handled read, else one read now. The rest raises further read events, one
    // turn of the event loop each, so a peer sending without end cannot hold
    // the loop.
    static constexpr std::size_t ReadBufferSize = 65536;
    std::string ReceiveSome();

    // The peer's host name by reverse lookup (empty when none is found, or when
    // the name is not known within a bounded wait); dotted IPv4 address. The
    // lookup starts when the connection is made and its answer is kept per
    // address for a minute (net/ReverseLookup.h), so a resolver that never
    // answers costs one wait of at most a second, not one per call. Code on
    // the UI thread that must not wait at all uses PeerNameKnown and
    // WhenPeerNamed instead.
    std::string PeerName();
    std::string PeerAddress();
    // The same name without waiting: true with Name set when it is known (or
    // its lookup has run past its bound: Name empty), false while it may
    // still come. True with "" when not connected.
    bool PeerNameKnown(std::string& Name);
    // Done(name) later, as an event of the UI thread, once the peer's name is
    // known or its bound (a second) has passed: PeerName's answer, without
    // the wait. Not called once Context is destroyed; the connection itself
    // may be gone by then.
    void WhenPeerNamed(QObject* Context, std::function<void(const std::string& Name)> Done);
    // The local host name and the local address of this socket.
    std::string OwnName();
    std::string OwnAddress();

    // Closes the connection, firing the disconnect event while still connected.
    void Close();
    // Closes with a reset instead: the peer learns that the exchange failed.
    void Abort();

    // What the transport knows of the link; 0 where it knows nothing.
    struct TLinkInfo {
        int SegmentSize = 0;   // the largest segment's payload (TCP_MAXSEG)
        int RoundTripUs = 0;   // round trip: the smoothed one or, for a socket
                               // that only receives, the receiver's estimate
        int RetransmitUs = 0;  // the retransmission time-out
    };
    TLinkInfo LinkInfo() const;
    // LinkInfo's SegmentSize alone, in one call.
    int SegmentSize() const;

    // Runs Fn as one of this connection's events, for work that a timer rather
    // than a notification starts: the connection is not destroyed while Fn
    // runs (a handler may run a modal loop), and what Fn raises goes to the
    // application's exception handler with the owner as sender.
    void Dispatch(const std::function<void()>& Fn);

    bool Connected() const;
    int Handle() const;

    ~TSocketConnection() override;

private:
    friend class TAsyncClientSocket;
    friend class TAsyncServerSocket;
    friend class SocketConnectionPrivate;
    explicit TSocketConnection(QObject* owner);  // owner: its client or server

    // For the owning client and server.
    void StartAttempt();  // the client's Open
    // A freshly accepted socket; closed when it sends nothing within
    // SilentTimeoutMs (0: never).
    void Adopt(int Fd, uint32_t Address, uint16_t Port, int SilentTimeoutMs);
    // Once its connect events have run: reads what already arrived, else
    // starts watching the socket (and the silent time-out). Without ReadNow
    // (a connect event raised) it is only watched.
    void WatchAccepted(bool ReadNow = true);
    void Abandon();  // closes without any event
    // Accepted connections are not destroyed while one of their events is
    // being handled (a handler may run a modal loop); the release waits.
    void BeginDispatch();
    void EndDispatch();
    bool InDispatch() const;
    void DeferRelease();

    class SocketConnectionPrivate* d;
};
