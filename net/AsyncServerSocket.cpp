#include "net/AsyncServerSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

namespace {
// How long the listener rests when accept finds no free descriptor.
constexpr int AcceptBackOffMs = 100;
// Connections taken per readiness of the listener.
constexpr int AcceptsPerTurn = 16;

// Keepalive probes after a minute of silence, then every ten seconds: six
// unanswered probes (or two minutes of unacknowledged data) end the connection.
constexpr int KeepIdleSeconds = 60;
constexpr int KeepIntervalSeconds = 10;
constexpr int KeepProbes = 6;
constexpr unsigned UserTimeoutMs = 120000;

// Calls a copy: the handler may replace itself while it runs.
void Notify(TSocketNotifyEvent handler, QObject* sender, TSocketConnection* socket) {
    if (handler) handler(sender, socket);
}
}  // namespace

void SetKeepAlive(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleSeconds, sizeof KeepIdleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalSeconds, sizeof KeepIntervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepProbes, sizeof KeepProbes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UserTimeoutMs, sizeof UserTimeoutMs);
}

class ServerSocketPrivate {
public:
    int Fd = -1;
    QSocketNotifier* Notifier = nullptr;
    QTimer BackOff;
    // Closed connections waiting for the one release posted for them all.
    std::vector<QPointer<TSocketConnection>> Releasing;
    bool ReleasePosted = false;
    int Accepting = 0;  // Acceptable runs (a handler may nest the event loop)
};

TAsyncServerSocket::TAsyncServerSocket(QObject* parent)
    : QObject(parent), d(new ServerSocketPrivate) {
    d->BackOff.setSingleShot(true);
    d->BackOff.setInterval(AcceptBackOffMs);
    connect(&d->BackOff, &QTimer::timeout, this, [this] {
        if (d->Notifier) d->Notifier->setEnabled(true);
    });
}

TAsyncServerSocket::~TAsyncServerSocket() {
    for (TSocketConnection* c : std::exchange(FConnections, {})) delete c;
    CloseListener(false);
    delete d;
}

int TAsyncServerSocket::Port() const {
    return FPort;
}

void TAsyncServerSocket::SetPort(int Value) {
    if (Value == FPort) return;
    if (FActive) throw ESocketError("Can't change value while socket is active");
    FPort = Value;
}

bool TAsyncServerSocket::Active() const {
    return FActive;
}

void TAsyncServerSocket::SetActive(bool Value) {
    if (Value)
        Open();
    else
        Close();
}

void TAsyncServerSocket::Open() {
    if (FActive || d->Fd >= 0) return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ESocketError("Can't create new socket");
    d->Fd = fd;
    QPointer<TAsyncServerSocket> self(this);
    try {
        // Lets a restarted program bind while old connections sit in
        // TIME_WAIT; a second live listener still gets address-in-use.
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // Accepted sockets inherit the options, so an accept costs no further calls.
        SetKeepAlive(fd);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(static_cast<uint16_t>(FPort));
        // Port 0 would listen on a port the kernel picks, where no peer looks.
        if (FPort < 1 || FPort > 65535)
            SocketCallFailed(EINVAL, "bind");
        else if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
            SocketCallFailed(errno, "bind");
        // Off until listening: an unlistened socket polls as hung up.
        d->Notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        d->Notifier->setEnabled(false);
        connect(d->Notifier, &QSocketNotifier::activated, this,
                [this] { Guarded(this, [this] { Acceptable(); }); });
        FActive = true;
        Notify(OnListen, this, nullptr);
        if (!self || d->Fd != fd) return;
        // Senders that connect at the same instant must not lose their SYNs.
        if (::listen(fd, SOMAXCONN) != 0) SocketCallFailed(errno, "listen");
        if (d->Notifier) d->Notifier->setEnabled(true);
    } catch (...) {
        if (self && d->Fd == fd) CloseListener(false);
        throw;
    }
}

void TAsyncServerSocket::Close() {
    for (TSocketConnection* c : std::exchange(FConnections, {})) delete c;
    CloseListener(true);
}

void TAsyncServerSocket::CloseListener(bool report) {
    d->BackOff.stop();
    if (d->Notifier) {
        d->Notifier->setEnabled(false);
        d->Notifier->disconnect();
        d->Notifier->deleteLater();
        d->Notifier = nullptr;
    }
    FActive = false;
    const int fd = std::exchange(d->Fd, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && report)
        SocketCallFailed(errno, "closesocket");
}

int TAsyncServerSocket::SilentTimeout() const {
    return FSilentTimeout;
}

void TAsyncServerSocket::SetSilentTimeout(int Ms) {
    FSilentTimeout = Ms > 0 ? Ms : 0;
}

int TAsyncServerSocket::ConnectionCount() const {
    return static_cast<int>(FConnections.size());
}

TSocketConnection* TAsyncServerSocket::ConnectionAt(int Index) const {
    if (Index < 0 || Index >= ConnectionCount())
        throw Exception("List index out of bounds (" + std::to_string(Index) + ")");
    return FConnections[static_cast<size_t>(Index)];
}

void TAsyncServerSocket::Acceptable() {
    // Senders that connect together are taken in one turn of the event loop,
    // a bounded few, so that the loop still serves everything else between.
    // Connections answered and closed meanwhile are destroyed on the way
    // out, with no release posted for them.
    QPointer<TAsyncServerSocket> self(this);
    ++d->Accepting;
    struct TOut {
        QPointer<TAsyncServerSocket>& self;
        ~TOut() {
            if (!self) return;
            --self->d->Accepting;
            self->ReleaseClosed();
        }
    } out{self};
    for (int i = 0; i < AcceptsPerTurn && self && d->Fd >= 0; ++i)
        if (!AcceptOne()) break;
}

bool TAsyncServerSocket::AcceptOne() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        ::accept4(d->Fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors the connection stays queued and the listener stays
        // readable: rest a moment instead of spinning. Other failures are dropped.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            d->Notifier->setEnabled(false);
            d->BackOff.start();
        }
        return false;
    }
    auto* connection = new TSocketConnection(this);
    FConnections.push_back(connection);
    connection->Adopt(fd, peer.sin_addr.s_addr, ntohs(peer.sin_port), FSilentTimeout);

    QPointer<TAsyncServerSocket> self(this);
    QPointer<TSocketConnection> alive(connection);
    connection->BeginDispatch();
    struct TEnd {
        QPointer<TSocketConnection>& c;
        ~TEnd() {
            if (c) c->EndDispatch();
        }
    } end{alive};
    try {
        Notify(OnClientConnect, this, connection);
        if (!self || !alive) return false;
        Notify(OnAccept, this, connection);
    } catch (...) {
        // The failure goes to the application; the connection stays and is
        // watched like the others.
        if (self && alive) connection->WatchAccepted(false);
        throw;
    }
    if (!self || !alive) return false;
    connection->WatchAccepted();
    return true;
}

void TAsyncServerSocket::ReleaseLater(TSocketConnection* Connection) {
    // Connections closed in one turn of the event loop share one release;
    // those closed while connections are being accepted go with the accept.
    d->Releasing.emplace_back(Connection);
    if (d->Accepting > 0 || d->ReleasePosted) return;
    d->ReleasePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            d->ReleasePosted = false;
            ReleaseClosed();
        },
        Qt::QueuedConnection);
}

void TAsyncServerSocket::ReleaseClosed() {
    for (const QPointer<TSocketConnection>& target : std::exchange(d->Releasing, {})) {
        if (!target) continue;
        if (target->InDispatch()) {
            target->DeferRelease();
            continue;
        }
        delete target.data();  // leaves the list in its destructor
    }
}
