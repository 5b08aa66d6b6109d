#pragma once

#include <vector>

#include <QObject>

#include "net/SocketConnection.h"

// A listener on the IPv4 wildcard address with the list of connections it
// accepted, oldest first.
class TAsyncServerSocket : public QObject {
    Q_OBJECT
public:
    explicit TAsyncServerSocket(QObject* parent = nullptr);
    ~TAsyncServerSocket() override;  // closes without events

    int Port() const;
    void SetPort(int Value);  // refused while Active

    bool Active() const;
    void SetActive(bool Value);
    void Open();   // listens synchronously; OnListen fires inside
    void Close();  // destroys every accepted connection without events

    // An accepted connection that has sent nothing this many milliseconds after
    // its acceptance is closed (OnClientDisconnect fires). 0, the default,
    // waits for ever. Applies to connections accepted from now on.
    int SilentTimeout() const;
    void SetSilentTimeout(int Ms);

    int ConnectionCount() const;
    TSocketConnection* ConnectionAt(int Index) const;

    // OnListen gets no connection (Socket is null). OnClientConnect then
    // OnAccept fire for each accepted connection, already counted; it is
    // writable at once, so one OnClientWrite follows. Accepted connections use
    // TCP keepalive, so a peer that vanished is found within about two minutes. After
    // OnClientDisconnect the connection stays counted until it is released: once
    // the accept that made it returns, or by a release posted to the event loop.
    TSocketNotifyEvent OnListen, OnAccept, OnClientConnect, OnClientRead, OnClientWrite,
        OnClientDisconnect;
    // The output SendAll had to queue on a connection has all gone.
    TSocketNotifyEvent OnClientDrained;
    TSocketErrorEvent OnClientError;

private:
    friend class TSocketConnection;
    friend class SocketConnectionPrivate;
    int FPort = 0;
    bool FActive = false;
    int FSilentTimeout = 0;
    std::vector<TSocketConnection*> FConnections;
    class ServerSocketPrivate* d;

    void Acceptable();
    bool AcceptOne();  // false when nothing was accepted, or the listener went
    void CloseListener(bool report);
    // Removes and destroys a closed connection from the event loop, later.
    void ReleaseLater(TSocketConnection* Connection);
    // Destroys the closed connections no handler is busy with; the others
    // go when their handler returns.
    void ReleaseClosed();
};
