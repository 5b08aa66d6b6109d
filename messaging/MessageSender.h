#pragma once

#include <string>

#include <QObject>

#include "messaging/MessagingHost.h"
#include "net/SocketError.h"

class TAsyncClientSocket;
class TSocketConnection;

// The sending transaction over the main form's one message client: connect,
// write the request, log it, read the status reply and show what it says.
// Every socket error ends in a message box and the idle tray.
class TMessageSender {
public:
    TMessageSender(TAsyncClientSocket& ClientSocket, IMessagingHost& Host);

    // Starts sending Text to the first of Hosts, which become the recent hosts.
    // False, with a warning box and nothing changed, while an earlier send is
    // still connecting.
    bool SendMessageTo(const TStringList& Hosts, const std::string& Text);

    // Handlers of the client's events.
    void ClientSocketConnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketRead(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketError(QObject* Sender, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                           int& ErrorCode);

    bool FSending = false;     // connecting: set by SendMessageTo, cleared on connect or error
    std::string FLastMessage;  // text of the last send, also when it failed
    std::string FLastHost;     // its target

private:
    TAsyncClientSocket& ClientSocket;
    IMessagingHost& FHost;
};
