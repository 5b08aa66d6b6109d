#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <QObject>
#include <QTimer>

#include "messaging/MessagingHost.h"
#include "net/SocketError.h"

class TAsyncClientSocket;
class TSocketConnection;

// The sending transaction over the main form's one message client: connect,
// write the request, log it once every byte has left this machine (the peer
// acknowledged it), read the status reply and show what it says. Every socket
// error ends in a message box and the idle tray; so does a request the
// connection could not take in full, and an answer or a close that comes
// while part of the request has not reached the peer: the receiver cut it.
class TMessageSender {
public:
    TMessageSender(TAsyncClientSocket& ClientSocket, IMessagingHost& Host);

    // Starts sending Text to the first of Hosts, which become the recent hosts.
    // False, with a warning box and nothing changed, while an earlier send is
    // still connecting.
    bool SendMessageTo(const TStringList& Hosts, const std::string& Text);

    // Handlers of the client's events.
    void ClientSocketConnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDrained(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketRead(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketError(QObject* Sender, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                           int& ErrorCode);

    // A failure that reached the application's handler from Sender: handled,
    // and true, when it is the send's in progress. Retry: the socket hook asks
    // for the attempt to be reopened.
    bool HandleFailure(QObject* Sender, const Exception& E, bool Retry);
    // Handling a failure the socket layer raised itself: a failed call
    // meanwhile is to become a retry. It never outlives that failure.
    bool RetryArmed() const { return FRetryArmed; }

    // Set by SendMessageTo; cleared once the whole request has been written,
    // or when an error is reported.
    bool FSending = false;
    bool FWriting = false;     // connected, part of the request has not reached the peer
    std::string FLastMessage;  // text of the last send, also when it failed
    std::string FLastHost;     // its target

private:
    // Logs the send once the peer has every byte; else looks again a moment
    // later. A queue that does not move for the send stall time fails.
    void CheckLeft(TSocketConnection* Socket);
    void RequestWritten(TSocketConnection* Socket);
    // Runs Work with the peer's name and address: at once when the name is
    // known, else when it comes or its bound passes; in order per address.
    // The UI never waits for a lookup.
    using TNamedWork = std::function<void(const std::string& Name, const std::string& Address)>;
    void WithPeerName(TSocketConnection* Socket, TNamedWork Work);

    std::unordered_map<std::string, std::vector<TNamedWork>> FNamed;  // by peer address
    unsigned FSendNumber = 0;  // changes with each send and each failure

    QTimer FLeaving;              // while the platform still holds request bytes
    std::size_t FLastUnsent = 0;  // what it held at the last look
    qint64 FUnsentSinceMs = 0;    // when that amount was first seen

    TAsyncClientSocket& ClientSocket;
    IMessagingHost& FHost;
    bool FRetryArmed = false;
};
