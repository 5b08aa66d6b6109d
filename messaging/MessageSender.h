#pragma once

#include <string>

#include <QObject>

#include "messaging/MessagingHost.h"
#include "net/SocketError.h"

class TAsyncClientSocket;
class TSocketConnection;

// The sending transaction over the main form's one message client: connect,
// write the request, log it once every byte has gone, read the status reply
// and show what it says. Every socket error ends in a message box and the
// idle tray; so does a request the connection could not take in full.
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
    bool FWriting = false;     // connected, the rest of the request waits for the socket
    std::string FLastMessage;  // text of the last send, also when it failed
    std::string FLastHost;     // its target

private:
    void RequestWritten(TSocketConnection* Socket);

    TAsyncClientSocket& ClientSocket;
    IMessagingHost& FHost;
    bool FRetryArmed = false;
};
