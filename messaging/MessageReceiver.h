#pragma once

#include <QObject>

#include "messaging/MessagingHost.h"

class TSocketConnection;

// Handles one incoming message per connection: at the connection's first read
// notification it takes everything that has arrived as the request, records
// it, announces it (sound, alert window or unread count), answers with the
// status reply when the sender's protocol asks for one, and closes.
class TMessageReceiver {
public:
    explicit TMessageReceiver(IMessagingHost& Host) : FHost(Host) {}

    void ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket);

private:
    IMessagingHost& FHost;
};
