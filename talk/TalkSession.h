#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "net/SocketError.h"

class TAsyncClientSocket;
class TAsyncServerSocket;
class TSocketConnection;

// What a talk session shows, and where, in the window it runs in.
class ITalkView {
public:
    virtual ~ITalkView() = default;
    // A line of the received pane: Bytes as they came (line breaks in them
    // start further lines), the session's own lines in bold.
    virtual void ShowReceivedLine(std::string_view Bytes, bool Bold) = 0;
    // The session's state, as the status bar shows it.
    virtual void ShowStatus(const std::string& Text) = 0;
    // A session has begun: the user types next.
    virtual void SessionOpened() = 0;
    // An error box over the window. The user may close the window while it
    // is shown, and the session with it.
    virtual void ShowError(const std::string& Text, const std::string& Caption) = 0;
    // A failure of the talk port (the listener or an accepted connection),
    // which the program reports as it limits them.
    virtual void ReportPortFailure(const std::string& Message) = 0;
};

// A one-to-one line chat over the talk port. While it runs it listens there,
// so either side may start the session; it holds one session at a time and
// tells a further caller so before dropping it. Each read of the peer's bytes
// shows as one line of the received pane.
class TTalkSession : public QObject {
    Q_OBJECT
public:
    // A peer's bytes are read and shown this many at a time, one turn of the
    // event loop each: a read is one line up to this size.
    static constexpr std::size_t ReadBufferSize = 8192;

    // Connects to Port; InitialHost is what the "Connect to" question offers
    // first. Listening begins with Listen.
    TTalkSession(ITalkView& View, const std::string& InitialHost, int Port);
    // Tears down, without any event.
    ~TTalkSession() override;

    // Opens the listener. A failure (the port taken by another program) is
    // reported and leaves the session not listening: outgoing sessions still
    // work.
    void Listen();

    // The user's commands. A session, or a connection still open: connecting
    // ends it, so the user is asked first.
    bool HasConnection() const;
    // Ends any session and connects to Host.
    void Connect(const std::string& Host);
    // Ends the session, whichever side made it; an attempt goes on.
    void Disconnect();
    // Sends Text as typed; false when there is no session.
    bool Send(const std::string& Text);
    // The received pane is cleared: refusal lines it has not shown yet go too.
    void ClearReceived();
    // Closes everything now, without events: the peer sees the session end,
    // and no handler runs afterwards.
    void Teardown();

    // A failure that reached the application's handler from Sender: handled,
    // and true, when Sender is this session or one of its sockets. The
    // attempt's failures end the attempt; the listener's and the accepted
    // connections' are reported as the talk port's. Retry: the socket hook
    // asks for the attempt to be reopened.
    bool HandleFailure(QObject* Sender, const Exception& E, bool Retry);
    // Handling a failure of the attempt that the socket layer raised itself:
    // a failed call meanwhile is to become a retry.
    bool RetryArmed() const { return FRetryArmed; }

    TAsyncClientSocket* Client() const { return ClientSocket; }
    TAsyncServerSocket* Server() const { return ServerSocket; }
    // An outgoing attempt is under way: from Connect until it connects or fails.
    bool Connecting() const { return FConnecting; }
    // Host of the last or next outgoing session, as the user typed it.
    const std::string& RemoteHost() const { return FRemoteHost; }
    // How long received bytes that end inside a UTF-8 character wait for the
    // rest of it before they show as they are (300 ms).
    void SetHoldTime(int Ms);

    void ClientSocketConnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketRead(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketWrite(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket);
    // Reports a failure of the outgoing side, clears ErrorCode, ends the
    // session and listens again.
    void ClientSocketError(QObject* Sender, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                           int& ErrorCode);
    void ServerSocketListen(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientConnect(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientWrite(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TSocketConnection* Socket);

private:
    bool Owns(const QObject* Sender) const;
    TSocketConnection* IncomingSession() const;
    void Received(TSocketConnection* Socket, std::string Bytes);
    void ReadPiece(TSocketConnection* Socket);
    void ShowInbox(TSocketConnection* Socket);
    void ShowHeld();
    void ShowRefusals();
    // Calls Show with the peer's "name (address)", the way every line of the
    // session names it: at once when the name is known, else when its lookup
    // ends (within a second). The session never waits for a name.
    void WithPeerText(TSocketConnection* Socket, std::function<void(const std::string&)> Show);
    // "Connected to"/"Disconnected from" the peer, in the status bar and the
    // received pane, in its place among the pane's lines even when the name
    // comes later: the lines after it wait, and reading stops meanwhile.
    void ShowPeerLine(TSocketConnection* Socket, const std::string& What);
    void ShowReceived(std::string Bytes, bool Bold);
    void ShowReadyLines();
    void SendLine(TSocketConnection* To, const std::string& Text);
    void SendQueued(TSocketConnection* Socket);
    void SessionEnded(TSocketConnection* Socket);

    ITalkView& FView;
    TAsyncClientSocket* ClientSocket;
    TAsyncServerSocket* ServerSocket;
    bool FConnecting = false;
    bool FRetryArmed = false;
    // Torn down (the window closed, perhaps while a box of ours was open):
    // nothing listens again.
    bool FTornDown = false;
    std::string FRemoteHost;
    QPointer<TSocketConnection> FIncoming;  // the accepted connection holding the session
    // Read by the socket layer, shown a piece a turn.
    std::string FInbox;
    QPointer<TSocketConnection> FInboxFrom;
    QTimer FReadTimer;
    // Received bytes that end in part of a UTF-8 character wait here a moment
    // for the rest of it, so a character split in transit shows whole.
    std::string FHeld;
    QPointer<TSocketConnection> FHeldFrom;
    QTimer FHoldTimer;
    // Lines for refused callers, shown together a moment later.
    std::string FRefusals;
    QTimer FRefusalTimer;
    struct TPaneLine {
        std::string Bytes;
        bool Bold = false;
        bool Ready = false;  // false: its peer's name is being looked up
    };
    std::deque<TPaneLine> FPaneLines;  // received-pane lines waiting their turn
    // What the peer's connection did not take yet; sent as it makes room.
    std::string FQueued;
    QPointer<TSocketConnection> FQueuedTo;
};
