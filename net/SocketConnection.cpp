#include "net/SocketConnection.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <system_error>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "net/HostLookup.h"
#include "net/ReverseLookup.h"

namespace {
int PendingError(int fd) {
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

// Calls a copy: the handler may replace itself while it runs.
void Notify(TSocketNotifyEvent handler, QObject* sender, TSocketConnection* socket) {
    if (handler) handler(sender, socket);
}

// What inet_ntop gives, without its trip through sprintf.
std::string Dotted(uint32_t address) {
    const auto* octet = reinterpret_cast<const unsigned char*>(&address);  // network order
    std::string text;
    text.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i) text += '.';
        const unsigned v = octet[i];
        if (v >= 100) text += char('0' + v / 100);
        if (v >= 10) text += char('0' + v / 10 % 10);
        text += char('0' + v % 10);
    }
    return text;
}

int StallMs = TSocketConnection::DefaultSendStallMs;  // UI thread only
}  // namespace

class SocketConnectionPrivate {
public:
    enum class TPhase {
        Idle,        // no socket, or a client socket made but no lookup started
        Resolving,   // the client's host lookup is running
        Connecting,  // connect issued, waiting for its completion
        Failed,      // connect failed; the socket stays open until closed or reopened
        Connected,
    };
    enum class TEvent { Connect, Read, Write, Disconnect, Drained };
    enum class TFlush { Drained, Waiting, Failed };

    SocketConnectionPrivate(TSocketConnection* q, QObject* owner)
        : q(q),
          Client(qobject_cast<TAsyncClientSocket*>(owner)),
          Server(qobject_cast<TAsyncServerSocket*>(owner)) {}

    TSocketConnection* q;
    TAsyncClientSocket* Client;
    TAsyncServerSocket* Server;
    int Fd = -1;
    TPhase Phase = TPhase::Idle;
    sockaddr_in Peer{};    // zero unless connected
    sockaddr_in Target{};  // where the client connects to
    // Changes whenever the socket is made or released, so that work started
    // for an earlier socket (an attempt's lookup, a handler's aftermath) can
    // tell that it has been overtaken.
    unsigned Generation = 0;
    std::unique_ptr<THostLookup> Lookup;
    QSocketNotifier* ReadNotifier = nullptr;
    QSocketNotifier* WriteNotifier = nullptr;
    QTimer* SilentTimer = nullptr;  // accepted connections that must speak first
    int SilentTimeoutMs = 0;
    int PendingConnectError = 0;
    bool Closing = false;
    int Dispatching = 0;
    bool ReleaseWanted = false;
    bool ReadFailed = false;
    int ReadDepth = 0;       // read events of this socket being handled
    bool ReadTaken = false;  // ReceiveAvailable ran since the last read event
    // The read right after an accept runs before the socket is watched; the
    // read notifier is made only if the connection outlives it.
    bool FirstRead = false;
    std::string Inbox;             // read for the last read event, not taken yet
    bool InboxFull = false;        // that read filled its buffer: more may wait
    bool InboxFresh = false;       // its read event is still being handled
    std::string Outgoing;          // queued by SendAll
    std::size_t OutgoingSent = 0;  // how much of it the platform has taken
    QTimer* Stall = nullptr;       // runs while queued output makes no progress

    QObject* Owner() const {
        return Client ? static_cast<QObject*>(Client) : static_cast<QObject*>(Server);
    }

    // Runs one notification or lookup completion. Whatever it raises goes to
    // the application's handler; the object may be gone when fn returns.
    template <class Fn>
    void Dispatch(Fn fn) {
        QPointer<TSocketConnection> self(q);
        QPointer<QObject> sender(Owner());
        q->BeginDispatch();
        try {
            fn();
        } catch (...) {
            HandleException(sender.data());
        }
        if (self) self->EndDispatch();
    }

    // Notifiers are made when first wanted and then kept for the socket:
    // every change to the set of watched descriptors costs the event loop a
    // wake-up, so they are switched only where the program's need changes.
    QSocketNotifier* MakeNotifier(QSocketNotifier::Type type) {
        auto* notifier = new QSocketNotifier(Fd, type, q);
        if (type == QSocketNotifier::Read)
            QObject::connect(notifier, &QSocketNotifier::activated, q,
                             [this] { Dispatch([this] { Readable(); }); });
        else
            QObject::connect(notifier, &QSocketNotifier::activated, q,
                             [this] { Dispatch([this] { Writable(); }); });
        return notifier;
    }

    // The socket is closing: nothing more is watched. An accepted
    // connection keeps its notifiers until it is destroyed; a client's
    // connection object outlives its socket, so its notifiers go (later: one
    // of them may be delivering its activation right now).
    void Unwatch() {
        WantRead(false);
        WantWrite(false);
        if (!Client) return;
        for (QSocketNotifier** n : {&ReadNotifier, &WriteNotifier}) {
            if (!*n) continue;
            (*n)->disconnect();
            (*n)->deleteLater();
            *n = nullptr;
        }
    }

    void WantRead(bool on) {
        if (ReadNotifier)
            ReadNotifier->setEnabled(on);
        else if (on && Fd >= 0)
            ReadNotifier = MakeNotifier(QSocketNotifier::Read);
    }
    void WantWrite(bool on) {
        if (WriteNotifier)
            WriteNotifier->setEnabled(on);
        else if (on && Fd >= 0)
            WriteNotifier = MakeNotifier(QSocketNotifier::Write);
    }

    void Fire(TEvent event) {
        TSocketNotifyEvent handler;
        if (Client) {
            switch (event) {
                case TEvent::Connect:
                    handler = Client->OnConnect;
                    break;
                case TEvent::Read:
                    handler = Client->OnRead;
                    break;
                case TEvent::Write:
                    handler = Client->OnWrite;
                    break;
                case TEvent::Disconnect:
                    handler = Client->OnDisconnect;
                    break;
                case TEvent::Drained:
                    handler = Client->OnDrained;
                    break;
            }
        } else if (Server) {
            switch (event) {
                case TEvent::Connect:
                    break;
                case TEvent::Read:
                    handler = Server->OnClientRead;
                    break;
                case TEvent::Write:
                    handler = Server->OnClientWrite;
                    break;
                case TEvent::Disconnect:
                    handler = Server->OnClientDisconnect;
                    break;
                case TEvent::Drained:
                    handler = Server->OnClientDrained;
                    break;
            }
        }
        if (handler) handler(Owner(), q);
    }

    // The error handler of the owner; ErrorCode unchanged when there is none.
    void FireError(TSocketErrorKind kind, int& code) {
        TSocketErrorEvent handler = Client   ? Client->OnError
                                    : Server ? Server->OnClientError
                                             : nullptr;
        if (handler) handler(Owner(), q, kind, code);
    }

    // An error notification: the handler may clear the code; the notification
    // itself goes no further either way.
    void ErrorNotification(TSocketErrorKind kind, int code) {
        FireError(kind, code);
        if (code != 0) throw ESocketError("Asynchronous socket error " + std::to_string(code));
    }

    // Reads what is pending into the inbox: one call, where a look ahead,
    // a size query and the read would take three. Returns what recv did;
    // errno is the read's.
    ssize_t Fill() {
        char buffer[TSocketConnection::ReadBufferSize];
        ssize_t n;
        do n = recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return n;
        const int error = errno;
        Inbox.append(buffer, static_cast<size_t>(n));
        InboxFull = n == static_cast<ssize_t>(sizeof buffer);
        errno = error;
        return n;
    }

    enum class TRead { Fired, Nothing, Ended };

    TRead Readable() {
        if (Fd < 0 || Phase != TPhase::Connected) return TRead::Ended;
        // Once per arrival: a handler that leaves the bytes where they are
        // (or is still busy with them in a modal loop before reading) gets
        // no further notification until it reads.
        if (ReadDepth > 0 && !ReadTaken) {
            WantRead(false);
            return TRead::Fired;
        }
        const ssize_t n = Fill();
        if (n >= 0 && SilentTimer) SilentTimer->stop();
        if (n > 0) {
            const unsigned generation = Generation;
            QPointer<TSocketConnection> self(q);
            ReadTaken = false;
            InboxFresh = true;
            ++ReadDepth;
            struct TDepth {
                SocketConnectionPrivate* d;
                QPointer<TSocketConnection>& self;
                unsigned generation;
                ~TDepth() {
                    if (!self || d->Generation != generation) return;
                    d->InboxFresh = false;
                    --d->ReadDepth;
                    if (!d->ReadTaken) d->WantRead(false);
                }
            } depth{this, self, generation};
            Fire(TEvent::Read);
            return TRead::Fired;
        }
        const int error = n == 0 ? EPIPE : errno;
        if (n < 0 && SocketCode::IsWouldBlock(error)) return TRead::Nothing;
        if (!Outgoing.empty()) {
            // The connection ends with output still queued: that send failed.
            DropOutgoing();
            TransferFailed(ekSend, error, "send");
            return TRead::Ended;
        }
        if (n == 0) {
            Close();
            return TRead::Ended;
        }
        // The error is reported once; a socket that keeps failing is closed.
        if (ReadFailed) {
            Close();
            return TRead::Ended;
        }
        ReadFailed = true;
        ErrorNotification(ekDisconnect, error);
        return TRead::Ended;
    }

    // An accepted socket, after its connect events. A sender writes right
    // after it connects, so on a near link the request is often here
    // already: it is read at once, and a connection whose handler answers
    // and closes then is never watched at all. Otherwise the socket is
    // watched for its first bytes, within the silent time-out.
    void WatchAccepted(bool readNow) {
        if (!Connected()) return;
        if (!readNow || (Server && Server->OnClientWrite)) {
            // One OnClientWrite is due first (or a connect event raised):
            // only watched, no read now.
            if (Server && Server->OnClientWrite) WantWrite(true);
            WantRead(true);
            StartSilentTimer();
            return;
        }
        // Whatever the handler did, even raising, a connection still open
        // afterwards is watched.
        struct TAfter {
            SocketConnectionPrivate* d;
            QPointer<TSocketConnection> self;
            unsigned generation;
            TRead read = TRead::Fired;
            ~TAfter() {
                if (!self || d->Generation != generation) return;
                d->FirstRead = false;
                if (!d->Connected()) return;
                // A failed read was reported (or raised) once; the next
                // notification closes the socket, as for a watched one.
                if (read == TRead::Nothing || d->ReadFailed) {
                    d->WantRead(true);
                    d->StartSilentTimer();
                } else if (d->ReadTaken) {
                    d->WantRead(true);
                }
            }
        } after{this, q, Generation};
        FirstRead = true;
        after.read = Readable();
    }

    void StartSilentTimer() {
        if (SilentTimeoutMs <= 0) return;
        if (!SilentTimer) {
            SilentTimer = new QTimer(q);
            SilentTimer->setSingleShot(true);
            QObject::connect(SilentTimer, &QTimer::timeout, q,
                             [this] { Dispatch([this] { CloseIfSilent(); }); });
        }
        SilentTimer->start(SilentTimeoutMs);
    }

    void Writable() {
        if (Fd < 0) return;
        if (Phase == TPhase::Connecting) {
            ConnectCompleted();
            return;
        }
        if (Phase != TPhase::Connected) {
            WantWrite(false);
            return;
        }
        if (!Outgoing.empty()) {
            // A pending error surfaces from the send itself, as a failed send;
            // output still waiting keeps the notifier on.
            if (Flush() != TFlush::Drained) return;
            const unsigned generation = Generation;
            QPointer<TSocketConnection> self(q);
            Fire(TEvent::Drained);
            if (!self || Generation != generation || !Connected()) return;
        }
        // One notification, then quiet until something waits to be written.
        WantWrite(false);
        if (const int error = PendingError(Fd)) {
            ErrorNotification(ekSend, error);
            return;
        }
        Fire(TEvent::Write);
    }

    // Hands queued output to the platform until it would block or all is gone.
    // A failure drops the queue and is reported as a failed send.
    TFlush Flush() {
        bool progressed = false;
        while (OutgoingSent < Outgoing.size()) {
            const size_t size = std::min<size_t>(Outgoing.size() - OutgoingSent, INT_MAX);
            ssize_t sent;
            do sent = ::send(Fd, Outgoing.data() + OutgoingSent, size, MSG_NOSIGNAL);
            while (sent < 0 && errno == EINTR);
            if (sent > 0) {
                OutgoingSent += static_cast<size_t>(sent);
                progressed = true;
                continue;
            }
            const int error = sent < 0 ? errno : EWOULDBLOCK;
            if (SocketCode::IsWouldBlock(error)) {
                WantWrite(true);
                if (!Stall) {
                    Stall = new QTimer(q);
                    Stall->setSingleShot(true);
                    QObject::connect(Stall, &QTimer::timeout, q,
                                     [this] { Dispatch([this] { Stalled(); }); });
                }
                if (progressed || !Stall->isActive()) Stall->start(StallMs);
                return TFlush::Waiting;
            }
            DropOutgoing();
            TransferFailed(ekSend, error, "send");
            return TFlush::Failed;
        }
        DropOutgoing();
        return TFlush::Drained;
    }

    void Stalled() {
        if (Fd < 0 || Outgoing.empty()) return;
        DropOutgoing();
        TransferFailed(ekSend, ETIMEDOUT, "send");
    }

    void DropOutgoing() {
        std::string().swap(Outgoing);
        OutgoingSent = 0;
        if (Stall) Stall->stop();
    }

    void ConnectCompleted() {
        if (Fd < 0 || Phase != TPhase::Connecting) return;
        int error = PendingError(Fd);
        if (!error) error = PendingConnectError;
        if (!error) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            if (getpeername(Fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) error = errno;
        }
        PendingConnectError = 0;
        if (error) {
            // The socket stays open, silent, until the connection is closed or
            // the client opens again.
            Phase = TPhase::Failed;
            WantRead(false);
            WantWrite(false);
            ErrorNotification(ekConnect, error);
            return;
        }
        Phase = TPhase::Connected;
        Peer = Target;
        ReadFailed = false;
        ReverseLookup::Prefetch(Peer.sin_addr.s_addr);
        WantRead(true);
        // The write notifier stays on: the socket is writable, so OnWrite follows.
        Client->FActive = true;
        Fire(TEvent::Connect);
    }

    // Closes the socket without events. A failed close is reported as a
    // guarded call when report is set.
    void Release(bool report) {
        Unwatch();
        if (SilentTimer) SilentTimer->stop();
        const int fd = Fd;
        Fd = -1;
        Phase = TPhase::Idle;
        Peer = {};
        PendingConnectError = 0;
        Closing = false;
        ReadFailed = false;
        ReadDepth = 0;
        FirstRead = false;
        std::string().swap(Inbox);
        InboxFull = false;
        InboxFresh = false;
        DropOutgoing();
        ++Generation;
        if (fd < 0) return;
        // Unread input would turn the close into a reset, and the peer could
        // lose what was just sent; read it away so the close stays graceful.
        char sink[16384];
        for (int i = 0; i < 64 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
        if (::close(fd) != 0 && errno != EINTR && report) SocketCallFailed(errno, "closesocket");
    }

    void Abandon() {
        Lookup.reset();
        Release(false);
    }

    void Close() {
        if (Closing) return;  // Close from inside the disconnect event
        // Dropping the lookup is the cancel of the pending request; it cannot fail here.
        Lookup.reset();
        if (Fd < 0) {
            Phase = TPhase::Idle;
            return;
        }
        if (Server) Server->ReleaseLater(q);
        Closing = true;
        const unsigned generation = Generation;
        QPointer<TSocketConnection> self(q);
        try {
            if (Client) Client->FActive = false;
            Fire(TEvent::Disconnect);
        } catch (...) {
            // The socket closes whatever the handler did.
            if (self && Generation == generation) Release(true);
            throw;
        }
        // The handler may have destroyed the object or opened a new attempt.
        if (self && Generation == generation) Release(true);
    }

    void StartAttempt() {
        Abandon();
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) throw ESocketError("Can't create new socket");
        Fd = fd;
        ++Generation;
        const unsigned generation = Generation;
        QPointer<TSocketConnection> self(q);
        Notify(Client->OnLookup, Client, q);
        if (!self || Generation != generation) return;
        if (Client->FHost.empty()) {
            Close();
            throw ESocketError("No address specified");
        }
        Phase = TPhase::Resolving;
        try {
            try {
                Lookup = THostLookup::Start(Client->FHost, [this, generation](const auto& result) {
                    Dispatch([&] { LookupDone(generation, result); });
                });
            } catch (const std::system_error& e) {
                int code = e.code().value();
                if (code == 0 || SocketCode::IsWouldBlock(code)) code = ENOMEM;
                SocketCallFailed(code, "WSAASyncGetHostByName");
                // The hook returned, but there is no lookup to wait for.
                Close();
            }
        } catch (...) {
            if (self && Generation == generation) Close();
            throw;
        }
    }

    void LookupDone(unsigned generation, const THostLookup::TResult& result) {
        if (generation != Generation || Phase != TPhase::Resolving) return;
        Lookup.reset();
        if (result.Code != 0) {
            Close();
            throw SocketApiError(result.Code, "ASync Lookup");
        }
        QPointer<TSocketConnection> self(q);
        try {
            Connect(result.Address);
        } catch (...) {
            if (self && Generation == generation && Fd >= 0) Close();
            throw;
        }
    }

    void Connect(uint32_t address) {
        const unsigned generation = Generation;
        QPointer<TSocketConnection> self(q);
        Target = {};
        Target.sin_family = AF_INET;
        Target.sin_addr.s_addr = address;
        Target.sin_port = htons(static_cast<uint16_t>(Client->FPort));
        Phase = TPhase::Connecting;
        Notify(Client->OnConnecting, Client, q);
        if (!self || Generation != generation) return;

        int error = 0;
        if (Client->FPort < 0 || Client->FPort > 65535)
            error = EINVAL;
        else if (::connect(Fd, reinterpret_cast<sockaddr*>(&Target), sizeof Target) != 0)
            error = errno;
        if (error == EINTR || SocketCode::IsWouldBlock(error)) error = 0;
        if (error) {
            // A refusal is the connection's outcome, reported by its completion
            // as the platform would; anything else is a failed call.
            if (error != ECONNREFUSED) SocketCallFailed(error, "connect");
            PendingConnectError = error;
            QMetaObject::invokeMethod(
                q,
                [this, generation] {
                    if (Generation == generation) Dispatch([this] { ConnectCompleted(); });
                },
                Qt::QueuedConnection);
            return;
        }
        WantWrite(true);
    }

    bool Connected() const { return Fd >= 0 && Phase == TPhase::Connected; }

    void CloseIfSilent() {
        if (!Connected()) return;
        // Bytes whose notification has not been handled yet (a busy event
        // loop) are not silence.
        char byte;
        if (!Inbox.empty() || recv(Fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) return;
        Close();
    }

    // The peer's address as accept or the completed connect gave it: the
    // platform would answer the same while connected, and forgets it after
    // a reset.
    uint32_t PeerAddressValue() const { return Peer.sin_addr.s_addr; }

    // Algorithms of a failed send or receive: the error handler, the close
    // with its event, then the exception unless the handler cleared the code.
    void TransferFailed(TSocketErrorKind kind, int code, const char* api) {
        QPointer<TSocketConnection> self(q);
        FireError(kind, code);
        if (self) Close();
        if (code != 0) throw SocketApiError(code, api);
    }
};

TSocketConnection::TSocketConnection(QObject* owner)
    : QObject(owner), d(new SocketConnectionPrivate(this, owner)) {}

TSocketConnection::~TSocketConnection() {
    d->Abandon();
    if (d->Server) std::erase(d->Server->FConnections, this);
    delete d;
}

int TSocketConnection::SendString(const std::string& Text) {
    if (!d->Connected() || Text.empty()) return 0;
    if (!d->Outgoing.empty()) {
        // Queued output goes first; OnWrite follows once it has all gone.
        d->WantWrite(true);
        return -1;
    }
    const size_t size = std::min<size_t>(Text.size(), INT_MAX);
    ssize_t sent;
    do sent = ::send(d->Fd, Text.data(), size, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent >= 0) return static_cast<int>(sent);
    const int error = errno;
    if (SocketCode::IsWouldBlock(error)) {
        // OnWrite tells when the platform takes more.
        d->WantWrite(true);
        return -1;
    }
    d->TransferFailed(ekSend, error, "send");
    return -1;
}

bool TSocketConnection::SendAll(const std::string& Text) {
    if (!d->Connected()) return false;
    if (Text.empty()) return true;
    const bool waiting = !d->Outgoing.empty();
    d->Outgoing += Text;
    // Already waiting for room: the write notification takes it from here.
    if (waiting) return true;
    return d->Flush() != SocketConnectionPrivate::TFlush::Failed;
}

std::size_t TSocketConnection::PendingOutput() const {
    return d->Outgoing.size() - d->OutgoingSent;
}

std::size_t TSocketConnection::UnsentBytes() const {
    int queued = 0;
    // SIOCOUTQ: bytes in the send queue the peer has not acknowledged.
    if (d->Fd < 0 || ioctl(d->Fd, SIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
    return PendingOutput() + static_cast<std::size_t>(queued);
}

int TSocketConnection::SendStallMs() {
    return StallMs;
}

void TSocketConnection::SetSendStallMs(int Ms) {
    StallMs = Ms;
}

std::string TSocketConnection::ReceiveAvailable() {
    if (!d->Connected()) return {};
    d->ReadTaken = true;
    // The read right after an accept arms its notifier afterwards, and only
    // if the connection is still open then.
    if (!d->FirstRead) d->WantRead(true);
    std::string data = std::exchange(d->Inbox, {});
    // Within its read event, a read that did not fill its buffer took
    // everything there was.
    if (!std::exchange(d->InboxFull, false) && d->InboxFresh && !data.empty()) return data;
    int pending = 0;
    if (ioctl(d->Fd, FIONREAD, &pending) != 0) {
        d->TransferFailed(ekReceive, errno, "recv");
        return {};
    }
    if (pending <= 0) return data;
    const size_t had = data.size();
    data.resize(had + static_cast<size_t>(pending));
    ssize_t got;
    do got = ::recv(d->Fd, data.data() + had, static_cast<size_t>(pending), 0);
    while (got < 0 && errno == EINTR);
    if (got >= 0) {
        data.resize(had + static_cast<size_t>(got));
        return data;
    }
    const int error = errno;
    data.resize(had);
    if (!SocketCode::IsWouldBlock(error)) d->TransferFailed(ekReceive, error, "recv");
    return data;
}

std::string TSocketConnection::ReceiveSome() {
    if (!d->Connected()) return {};
    d->ReadTaken = true;
    if (!d->FirstRead) d->WantRead(true);
    d->InboxFull = false;
    if (d->Inbox.empty() && d->Fill() < 0 && !SocketCode::IsWouldBlock(errno)) {
        d->TransferFailed(ekReceive, errno, "recv");
        return {};
    }
    return std::exchange(d->Inbox, {});
}

std::string TSocketConnection::PeerName() {
    if (!d->Connected()) return {};
    return ReverseLookup::Name(d->PeerAddressValue());
}

bool TSocketConnection::PeerNameKnown(std::string& Name) {
    Name.clear();
    if (!d->Connected()) return true;
    return ReverseLookup::Known(d->PeerAddressValue(), Name);
}

void TSocketConnection::WhenPeerNamed(QObject* Context,
                                      std::function<void(const std::string& Name)> Done) {
    if (d->Connected()) {
        ReverseLookup::WhenNamed(d->PeerAddressValue(), Context, std::move(Done));
        return;
    }
    QMetaObject::invokeMethod(
        Context, [done = std::move(Done)] { done(std::string()); }, Qt::QueuedConnection);
}

std::string TSocketConnection::PeerAddress() {
    if (!d->Connected()) return {};
    return Dotted(d->PeerAddressValue());
}

std::string TSocketConnection::OwnName() {
    if (d->Fd < 0) return {};
    char name[257] = {};
    if (gethostname(name, 256) != 0) return {};
    return name;
}

std::string TSocketConnection::OwnAddress() {
    if (d->Fd < 0) return {};
    sockaddr_in own{};
    socklen_t len = sizeof own;
    if (getsockname(d->Fd, reinterpret_cast<sockaddr*>(&own), &len) != 0) return {};
    return Dotted(own.sin_addr.s_addr);
}

void TSocketConnection::Close() {
    d->Close();
}

void TSocketConnection::Abort() {
    if (d->Fd >= 0) {
        const linger reset{1, 0};
        setsockopt(d->Fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    d->Close();
}

int TSocketConnection::SegmentSize() const {
    int segment = 0;
    socklen_t len = sizeof segment;
    if (d->Fd < 0 || getsockopt(d->Fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &len) != 0) return 0;
    return std::max(segment, 0);
}

TSocketConnection::TLinkInfo TSocketConnection::LinkInfo() const {
    TLinkInfo info;
    if (d->Fd < 0) return info;
    info.SegmentSize = SegmentSize();
    tcp_info tcp{};
    socklen_t len = sizeof tcp;
    if (getsockopt(d->Fd, IPPROTO_TCP, TCP_INFO, &tcp, &len) == 0) {
        // A socket that has sent nothing has no smoothed round trip of its
        // own; the receiver's estimate follows the queues along the path.
        const unsigned rtt = std::max(tcp.tcpi_rtt, tcp.tcpi_rcv_rtt);
        info.RoundTripUs = static_cast<int>(std::min<unsigned>(rtt, INT_MAX));
        info.RetransmitUs = static_cast<int>(std::min<unsigned>(tcp.tcpi_rto, INT_MAX));
    }
    return info;
}

void TSocketConnection::Dispatch(const std::function<void()>& Fn) {
    d->Dispatch(Fn);
}

bool TSocketConnection::Connected() const {
    return d->Connected();
}

int TSocketConnection::Handle() const {
    return d->Fd;
}

void TSocketConnection::StartAttempt() {
    d->StartAttempt();
}

void TSocketConnection::Adopt(int Fd, uint32_t Address, uint16_t Port, int SilentTimeoutMs) {
    d->Abandon();
    d->Fd = Fd;
    d->Phase = SocketConnectionPrivate::TPhase::Connected;
    d->Peer = {};
    d->Peer.sin_family = AF_INET;
    d->Peer.sin_addr.s_addr = Address;
    d->Peer.sin_port = htons(Port);
    d->SilentTimeoutMs = SilentTimeoutMs;
    ReverseLookup::Prefetch(Address);
}

void TSocketConnection::WatchAccepted(bool ReadNow) {
    d->WatchAccepted(ReadNow);
}

void TSocketConnection::Abandon() {
    d->Abandon();
}

void TSocketConnection::BeginDispatch() {
    ++d->Dispatching;
}

void TSocketConnection::EndDispatch() {
    if (--d->Dispatching == 0 && d->ReleaseWanted && d->Server) {
        d->ReleaseWanted = false;
        d->Server->ReleaseLater(this);
    }
}

bool TSocketConnection::InDispatch() const {
    return d->Dispatching > 0;
}

void TSocketConnection::DeferRelease() {
    d->ReleaseWanted = true;
}

std::string SocketFailureText(TSocketErrorKind Kind, int ErrorCode, TSocketConnection* Socket,
                              const std::string& Host) {
    const bool named = Kind != ekGeneral && Kind != ekConnect;
    return SocketFailureText(Kind, ErrorCode, named ? Socket->PeerName() : std::string(),
                             named ? Socket->PeerAddress() : std::string(), Host);
}

std::string SocketFailureText(TSocketErrorKind Kind, int ErrorCode, const std::string& PeerName,
                              const std::string& PeerAddress, const std::string& Host) {
    const std::string peer = PeerName + " (" + PeerAddress + ")";
    switch (Kind) {
        case ekGeneral:
            return "Unknown error (" + std::to_string(ErrorCode) + ")";
        case ekSend:
            return "Error sending data to " + peer;
        case ekReceive:
            return "Error receiving data from " + peer;
        case ekConnect:
            return "Error connecting to " + Host + " (" + std::to_string(ErrorCode) + ")";
        case ekDisconnect:
            return "Error disconnecting from " + peer;
        case ekAccept:
            return "Error accepting connection from " + peer;
    }
    return {};
}
