#include "talk/TalkSession.h"

#include <algorithm>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "platform/TextCodec.h"

namespace {
// How long received bytes ending in part of a UTF-8 character wait for the
// rest of it; a Windows-1252 text ending in such a byte shows after this.
constexpr int DefaultHoldMs = 300;
// Refused callers' lines wait this long for more of a burst.
constexpr int RefusalLinesMs = 100;

// Talk sessions are long and mostly quiet. Keepalive probes, and a bound on
// unacknowledged data, end a session whose peer vanished (cable pulled,
// machine off) within about two minutes instead of never. An accepted
// connection has them from the listener; an outgoing one is given them.
void KeepAlive(TSocketConnection* Socket) {
    if (Socket->Handle() >= 0) SetKeepAlive(Socket->Handle());
}
}  // namespace

TTalkSession::TTalkSession(ITalkView& View, const std::string& InitialHost, int Port)
    : FView(View), FRemoteHost(InitialHost) {
    FReadTimer.setSingleShot(true);
    FReadTimer.setInterval(0);
    connect(&FReadTimer, &QTimer::timeout, this, [this] {
        if (const QPointer<TSocketConnection> from = FInboxFrom)
            from->Dispatch([&] { ReadPiece(from); });
    });
    FRefusalTimer.setSingleShot(true);
    FRefusalTimer.setInterval(RefusalLinesMs);
    connect(&FRefusalTimer, &QTimer::timeout, this,
            [this] { Guarded(this, [this] { ShowRefusals(); }); });
    FHoldTimer.setSingleShot(true);
    FHoldTimer.setInterval(DefaultHoldMs);
    connect(&FHoldTimer, &QTimer::timeout, this, [this] { Guarded(this, [this] { ShowHeld(); }); });

    ClientSocket = new TAsyncClientSocket(this);
    ServerSocket = new TAsyncServerSocket(this);
    ServerSocket->SetPort(Port);
    ClientSocket->SetPort(Port);
    using namespace std::placeholders;
    ClientSocket->OnConnect = std::bind(&TTalkSession::ClientSocketConnect, this, _1, _2);
    ClientSocket->OnRead = std::bind(&TTalkSession::ClientSocketRead, this, _1, _2);
    ClientSocket->OnWrite = std::bind(&TTalkSession::ClientSocketWrite, this, _1, _2);
    ClientSocket->OnDisconnect = std::bind(&TTalkSession::ClientSocketDisconnect, this, _1, _2);
    ClientSocket->OnError = std::bind(&TTalkSession::ClientSocketError, this, _1, _2, _3, _4);
    ServerSocket->OnListen = std::bind(&TTalkSession::ServerSocketListen, this, _1, _2);
    ServerSocket->OnClientConnect =
        std::bind(&TTalkSession::ServerSocketClientConnect, this, _1, _2);
    ServerSocket->OnClientRead = std::bind(&TTalkSession::ServerSocketClientRead, this, _1, _2);
    ServerSocket->OnClientWrite = std::bind(&TTalkSession::ServerSocketClientWrite, this, _1, _2);
    ServerSocket->OnClientDisconnect =
        std::bind(&TTalkSession::ServerSocketClientDisconnect, this, _1, _2);
    // No OnClientError: failures of an incoming session reach the
    // application's handler as exceptions.
}

TTalkSession::~TTalkSession() {
    Teardown();
}

bool TTalkSession::Owns(const QObject* Sender) const {
    for (const QObject* o = Sender; o; o = o->parent())
        if (o == this) return true;
    return false;
}

void TTalkSession::SetHoldTime(int Ms) {
    FHoldTimer.setInterval(Ms);
}

void TTalkSession::Listen() {
    if (FTornDown) return;
    try {
        ServerSocket->Open();
    } catch (...) {
        FView.ShowStatus("");
        HandleException(ServerSocket);
    }
}

bool TTalkSession::HandleFailure(QObject* Sender, const Exception& E, bool Retry) {
    if (!Owns(Sender) || !(Retry || dynamic_cast<const ESocketError*>(&E))) return false;
    if (Sender != ClientSocket || !FConnecting) {
        FView.ReportPortFailure(E.Message());
        return true;
    }
    // The attempt failed (a host that does not resolve, a failed call): its
    // failed connect, with one silent retry when the layer raised it itself.
    int code = -1;
    if (Retry) {
        FRetryArmed = false;
        try {
            ClientSocket->Close();
            ClientSocket->Open();
        } catch (const Exception&) {
            ClientSocketError(ClientSocket, ClientSocket->Connection(), ekConnect, code);
        }
        return true;
    }
    const QPointer<TTalkSession> self(this);
    FRetryArmed = E.HelpContext() != -1;
    try {
        ClientSocketError(ClientSocket, ClientSocket->Connection(), ekConnect, code);
    } catch (...) {
        if (self) FRetryArmed = false;
        throw;
    }
    if (self) FRetryArmed = false;
    return true;
}

TSocketConnection* TTalkSession::IncomingSession() const {
    return FIncoming && FIncoming->Connected() ? FIncoming.data() : nullptr;
}

// ---- user commands

bool TTalkSession::HasConnection() const {
    return ServerSocket->ConnectionCount() >= 1 || ClientSocket->Active();
}

void TTalkSession::Connect(const std::string& Host) {
    FRemoteHost = Host;
    ServerSocket->Close();
    // A made connection closes with its disconnect event, which listens again.
    ClientSocket->Close();
    FView.ShowStatus("Conecting to " + FRemoteHost + "...");
    ClientSocket->SetHost(FRemoteHost);
    FConnecting = true;
    // An attempt still resolving or connecting is dropped for this one. What
    // fails here is the attempt's failure.
    try {
        ClientSocket->Open();
    } catch (...) {
        HandleException(ClientSocket);
    }
}

void TTalkSession::Disconnect() {
    if (ClientSocket->Active())
        ClientSocket->Close();
    else if (TSocketConnection* session = IncomingSession())
        session->Close();
}

bool TTalkSession::Send(const std::string& Text) {
    TSocketConnection* to = ClientSocket->Active() ? ClientSocket->Connection() : IncomingSession();
    if (!to) return false;
    SendLine(to, Text);
    return true;
}

void TTalkSession::ClearReceived() {
    FRefusals.clear();
}

// ---- sending

// The line goes out in one send. What the peer's connection cannot take now
// waits and follows, in order, when it makes room: a peer that is slow to
// read must not lose part of a line shown as sent.
void TTalkSession::SendLine(TSocketConnection* To, const std::string& Text) {
    if (FQueuedTo != To) {
        FQueued.clear();
        FQueuedTo = To;
    }
    const bool waiting = !FQueued.empty();
    FQueued += Text;
    if (!waiting) SendQueued(To);
}

void TTalkSession::SendQueued(TSocketConnection* Socket) {
    if (Socket != FQueuedTo) return;
    const QPointer<TSocketConnection> to(Socket);
    while (!FQueued.empty()) {
        const int sent = Socket->SendString(FQueued);
        // A failed send has closed the connection: nothing is left to send.
        if (!to || !to->Connected()) {
            FQueued.clear();
            return;
        }
        // -1: no room now; the layer reports when there is.
        if (sent <= 0) return;
        FQueued.erase(0, std::size_t(sent));
    }
}

void TTalkSession::ClientSocketWrite(QObject*, TSocketConnection* Socket) {
    SendQueued(Socket);
}

void TTalkSession::ServerSocketClientWrite(QObject*, TSocketConnection* Socket) {
    SendQueued(Socket);
}

// ---- receiving

void TTalkSession::ClientSocketRead(QObject*, TSocketConnection* Socket) {
    ReadPiece(Socket);
}

void TTalkSession::ServerSocketClientRead(QObject*, TSocketConnection* Socket) {
    ReadPiece(Socket);
}

// The session reads ReadBufferSize bytes a turn of the event loop: what the
// socket layer read waits in FInbox, and the next piece follows from a timer
// in the next turn. Until FInbox is empty the layer is not asked for more, so
// a peer that sends faster than the screen shows is slowed down by TCP.
void TTalkSession::ReadPiece(TSocketConnection* Socket) {
    if (FInboxFrom != Socket) {
        if (FInboxFrom) ShowInbox(FInboxFrom);
        FInboxFrom = Socket;
    } else if (FReadTimer.isActive()) {
        return;  // the timer reads on in the next turn
    }
    if (!FPaneLines.empty()) return;  // a line naming a peer comes first
    if (FInbox.empty()) FInbox = Socket->ReceiveSome();
    const std::size_t size = std::min(FInbox.size(), ReadBufferSize);
    std::string piece = FInbox.substr(0, size);
    FInbox.erase(0, size);
    // Until a read finds nothing, the next turn reads on.
    if (size == 0) {
        FReadTimer.stop();
        return;
    }
    FReadTimer.start();
    Received(Socket, std::move(piece));
}

// What the socket layer read for a session that ends is shown at once.
void TTalkSession::ShowInbox(TSocketConnection* Socket) {
    if (FInboxFrom != Socket) return;
    FInboxFrom = nullptr;
    Received(Socket, std::exchange(FInbox, {}));
}

// Each read shows as one new line. A read that ends inside a UTF-8 character
// waits a moment for the rest, and the two show together; a read that filled
// the read buffer (a peer sending without pause) shows at once, and only its
// cut character waits to begin the next line.
void TTalkSession::Received(TSocketConnection* Socket, std::string Bytes) {
    if (FHeldFrom != Socket) ShowHeld();
    Bytes = std::exchange(FHeld, {}) + Bytes;
    if (Bytes.empty()) return;
    const std::size_t tail = PartialUtf8Tail(Bytes);
    const std::size_t shown = tail == 0                        ? Bytes.size()
                              : Bytes.size() >= ReadBufferSize ? Bytes.size() - tail
                                                               : 0;
    FHeld = Bytes.substr(shown);
    FHeldFrom = FHeld.empty() ? nullptr : Socket;
    if (FHeld.empty())
        FHoldTimer.stop();
    else
        FHoldTimer.start();
    if (shown == 0) return;
    ShowRefusals();
    ShowReceived(Bytes.substr(0, shown), false);
}

void TTalkSession::ShowHeld() {
    FHoldTimer.stop();
    FHeldFrom = nullptr;
    if (FHeld.empty()) return;
    const std::string held = std::exchange(FHeld, {});
    ShowRefusals();
    ShowReceived(held, false);
}

// What a session leaves behind when it ends: bytes still held are shown, bytes
// not yet sent are dropped.
void TTalkSession::SessionEnded(TSocketConnection* Socket) {
    ShowInbox(Socket);
    if (FHeldFrom == Socket) ShowHeld();
    if (FQueuedTo == Socket) FQueued.clear();
}

// ---- outgoing side

void TTalkSession::ClientSocketConnect(QObject*, TSocketConnection* Socket) {
    FConnecting = false;
    KeepAlive(Socket);
    ShowPeerLine(Socket, "Connected to ");
    FView.SessionOpened();
}

void TTalkSession::ClientSocketDisconnect(QObject*, TSocketConnection* Socket) {
    SessionEnded(Socket);
    ShowPeerLine(Socket, "Disconnected from ");
    Listen();
}

void TTalkSession::ClientSocketError(QObject*, TSocketConnection* Socket,
                                     TSocketErrorKind ErrorEvent, int& ErrorCode) {
    FConnecting = false;
    const std::string text =
        "Talk: " + SocketFailureText(ErrorEvent, ErrorCode, Socket, ClientSocket->Host());
    ErrorCode = 0;
    const QPointer<TTalkSession> self(this);
    if (!text.empty()) FView.ShowError(text, Caption::Error);
    if (!self) return;
    ClientSocket->Close();
    Listen();
}

// ---- incoming side

void TTalkSession::ServerSocketListen(QObject*, TSocketConnection*) {
    FView.ShowStatus("Listening for a connection...");
}

void TTalkSession::ServerSocketClientConnect(QObject*, TSocketConnection* Socket) {
    // One session at a time, whichever side started it: while this side
    // connects out or talks over its own connection, a caller is refused too.
    if (!IncomingSession() && !ClientSocket->Active() && !FConnecting) {
        FIncoming = Socket;
        ShowPeerLine(Socket, "Connected to ");
        FView.SessionOpened();
        return;
    }
    Socket->SendString("Error from " + Socket->OwnName() + " (" + Socket->OwnAddress() +
                       "): This machine have another connection already active.\r\n");
    // A burst of callers costs one line each, laid out together.
    WithPeerText(Socket, [this](const std::string& Peer) {
        FRefusals += "\r\nReceived a connection request from " + Peer + ".\r\n";
        if (!FRefusalTimer.isActive()) FRefusalTimer.start();
    });
    Socket->Close();
}

void TTalkSession::WithPeerText(TSocketConnection* Socket,
                                std::function<void(const std::string&)> Show) {
    const std::string address = Socket->PeerAddress();
    std::string name;
    if (Socket->PeerNameKnown(name)) return Show(name + " (" + address + ")");
    Socket->WhenPeerNamed(this, [address, Show = std::move(Show)](const std::string& Name) {
        Show(Name + " (" + address + ")");
    });
}

void TTalkSession::ShowPeerLine(TSocketConnection* Socket, const std::string& What) {
    ShowRefusals();
    // The line keeps its place while the name is looked up: a deque keeps its
    // elements where they are as others are added at its ends.
    TPaneLine* slot = &FPaneLines.emplace_back();
    WithPeerText(Socket, [this, slot, What](const std::string& Peer) {
        FView.ShowStatus(What + Peer);
        *slot = {What + Peer + "\r\n", true, true};
        ShowReadyLines();
    });
}

void TTalkSession::ShowReceived(std::string Bytes, bool Bold) {
    if (FPaneLines.empty()) return FView.ShowReceivedLine(Bytes, Bold);
    FPaneLines.push_back({std::move(Bytes), Bold, true});
}

void TTalkSession::ShowReadyLines() {
    while (!FPaneLines.empty() && FPaneLines.front().Ready) {
        const TPaneLine line = std::move(FPaneLines.front());
        FPaneLines.pop_front();
        FView.ShowReceivedLine(line.Bytes, line.Bold);
    }
    if (FPaneLines.empty() && FInboxFrom) FReadTimer.start();  // read on
}

void TTalkSession::ShowRefusals() {
    FRefusalTimer.stop();
    if (!FRefusals.empty()) ShowReceived(std::exchange(FRefusals, {}), true);
}

void TTalkSession::ServerSocketClientDisconnect(QObject*, TSocketConnection* Socket) {
    // A refused caller's close writes nothing.
    if (Socket != FIncoming) return;
    FIncoming = nullptr;
    SessionEnded(Socket);
    try {
        ShowPeerLine(Socket, "Disconnected from ");
        FView.ShowStatus("Listening for a connection...");
    } catch (const Exception& e) {
        FView.ShowError(e.Message(), Caption::AppTitle);
    }
}

// ---- closing

void TTalkSession::Teardown() {
    FTornDown = true;
    FHoldTimer.stop();
    FReadTimer.stop();
    FRefusalTimer.stop();
    for (TSocketNotifyEvent* handler :
         {&ClientSocket->OnConnect, &ClientSocket->OnRead, &ClientSocket->OnWrite,
          &ClientSocket->OnDisconnect, &ServerSocket->OnListen, &ServerSocket->OnClientConnect,
          &ServerSocket->OnClientRead, &ServerSocket->OnClientWrite,
          &ServerSocket->OnClientDisconnect})
        *handler = nullptr;
    ClientSocket->OnError = nullptr;
    FConnecting = false;
    // Failing to close what is being dropped is nothing to tell the user.
    try {
        ServerSocket->Close();
    } catch (...) {
    }
    try {
        ClientSocket->Connection()->Close();
    } catch (...) {
    }
}
