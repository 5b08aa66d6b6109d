#pragma once

#include <string>

#include <QObject>

#include "net/SocketConnection.h"

// A non-blocking TCP client making one outgoing connection at a time. Open
// returns at once; lookup, connection, data and close come back as events on
// the UI thread.
class TAsyncClientSocket : public QObject {
    Q_OBJECT
public:
    explicit TAsyncClientSocket(QObject* parent = nullptr);
    ~TAsyncClientSocket() override;  // closes without events

    const std::string& Host() const;
    void SetHost(const std::string& Value);  // refused while Active
    int Port() const;
    void SetPort(int Value);  // refused while Active

    bool Active() const;         // from OnConnect until OnDisconnect
    void SetActive(bool Value);  // Open or Close
    // Starts resolving Host and connecting to Host:Port; ignored while Active.
    // An earlier attempt still resolving or connecting (or one whose connect
    // failed) is dropped without events; only the newest attempt reports.
    void Open();
    // Closes a made connection (OnDisconnect fires inside). An attempt still
    // resolving or connecting goes on; Connection()->Close() ends it instead.
    void Close();
    TSocketConnection* Connection() const;

    TSocketNotifyEvent OnLookup, OnConnecting, OnConnect, OnWrite, OnRead, OnDisconnect;
    // The output SendAll had to queue has all been handed to the platform.
    TSocketNotifyEvent OnDrained;
    TSocketErrorEvent OnError;

private:
    friend class TSocketConnection;
    friend class SocketConnectionPrivate;
    std::string FHost;
    int FPort = 0;
    bool FActive = false;
    TSocketConnection* FConnection;
};
