#include "talk/Talk.h"

#include <algorithm>

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/Exceptions.h"
#include "platform/InputBox.h"
#include "platform/MessageBox.h"
#include "platform/TextCodec.h"
#include "ui/NamedWidget.h"
#include "ui/TrayImages.h"

TfTalk* fTalk = nullptr;

namespace {
constexpr int ClientWidth = 547;
constexpr int ClientHeight = 398;
// How long received bytes ending in part of a UTF-8 character wait for the
// rest of it; a Windows-1252 text ending in such a byte shows after this.
constexpr int DefaultHoldMs = 300;
// Refused callers' lines wait this long for more of a burst.
constexpr int RefusalLinesMs = 100;

// One row as the screen shows it. The document reads U+FFFC as an embedded
// object and NUL as nothing: neither may come from a peer as such.
QString RowText(std::string_view Row) {
    QString text = DecodeForScreen(Row);
    for (QChar& c : text)
        if (c == QChar(0) || c == QChar::ObjectReplacementCharacter)
            c = QChar::ReplacementCharacter;
    return text;
}

// Laying out a row costs the square of its longest run with nowhere to wrap
// (a peer's flood of one letter, say): a row with a long run shows unwrapped.
bool WrapsCheaply(const QString& Text) {
    constexpr qsizetype MaxRun = 1024;
    if (Text.size() <= MaxRun) return true;
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, Text);
    qsizetype last = 0;
    for (qsizetype at = breaks.toNextBoundary(); at >= 0; at = breaks.toNextBoundary()) {
        if (at - last > MaxRun) return false;
        last = at;
    }
    return true;
}

// Talk sessions are long and mostly quiet. Keepalive probes, and a bound on
// unacknowledged data, end a session whose peer vanished (cable pulled,
// machine off) within about two minutes instead of never.
void KeepAlive(TSocketConnection* Socket) {
    if (Socket->Handle() >= 0) SetKeepAlive(Socket->Handle());
}
}  // namespace

// ---- panes

TTalkPane::TTalkPane(QWidget* Parent) : QTextEdit(Parent) {
    setReadOnly(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document()->setMaximumBlockCount(MaxLines);
}

namespace {
// Calls Row for each line of Bytes: CR LF, CR and LF end one.
template <class Fn>
void ForEachRow(std::string_view Bytes, Fn Row) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t br = Bytes.find_first_of("\r\n", at);
        Row(Bytes.substr(at, br == std::string_view::npos ? Bytes.npos : br - at));
        if (br == std::string_view::npos) break;
        at = br + (Bytes[br] == '\r' && br + 1 < Bytes.size() && Bytes[br + 1] == '\n' ? 2 : 1);
    }
}
}  // namespace

void TTalkPane::AppendLine(std::string_view Bytes, bool Bold) {
    QTextCharFormat format;
    format.setFontWeight(Bold ? QFont::Bold : QFont::Normal);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    // Text of many lines at once (a burst of refusals) can hold far more of
    // them than the pane keeps; those would only be laid out to be dropped.
    std::size_t rows = 0;
    ForEachRow(Bytes, [&](std::string_view) { ++rows; });
    std::size_t skip = rows > std::size_t(MaxLines) ? rows - std::size_t(MaxLines) : 0;
    ForEachRow(Bytes, [&](std::string_view row) {
        if (skip > 0) {
            --skip;
            return;
        }
        const QString text = RowText(row);
        QTextBlockFormat block;
        block.setNonBreakableLines(!WrapsCheaply(text));
        if (FEmpty) {
            cursor.setBlockFormat(block);
            cursor.setBlockCharFormat(format);
            FEmpty = false;
        } else {
            cursor.insertBlock(block, format);
        }
        cursor.insertText(text, format);
    });
    cursor.endEditBlock();
    // Long lines are few lines but much text: the oldest go past MaxChars.
    const int excess = document()->characterCount() - MaxChars;
    if (excess > 0) {
        QTextBlock keep = document()->findBlock(excess);
        if (keep.position() < excess) keep = keep.next();
        if (keep.isValid()) {
            QTextCursor old(document());
            old.setPosition(keep.position(), QTextCursor::KeepAnchor);
            old.removeSelectedText();
        }
    }
    // The caret goes to the end and into view, so the newest line shows.
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void TTalkPane::Clear() {
    clear();
    FEmpty = true;
}

// ---- window

TfTalk::TfTalk(const TTalkServices& Services, const std::string& InitialHost, int Port)
    : QWidget(nullptr), FServices(Services) {
    // Set at once, so that a failure while the window is being made is routed
    // to it, and the tray command opens no second window meanwhile.
    fTalk = this;
    setObjectName(QStringLiteral("fTalk"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("Wexlo - Talk window"));

    lblReceivedText = Make<QLabel>(this, "lblReceivedText");
    lblReceivedText->setText(QStringLiteral("Received text:"));
    redReceived = Make<TTalkPane>(this, "redReceived");
    {
        QPalette face = redReceived->palette();
        face.setColor(QPalette::Base, palette().color(QPalette::Button));
        redReceived->setPalette(face);
    }
    const QIcon clearIcon = QIcon::fromTheme(QStringLiteral("edit-clear"),
                                             style()->standardIcon(QStyle::SP_DialogResetButton));
    btnClearReceived = Make<QToolButton>(this, "btnClearReceived");
    btnClearSent = Make<QToolButton>(this, "btnClearSent");
    for (auto [button, hint] : {std::pair{btnClearReceived, "Clear received text"},
                                std::pair{btnClearSent, "Clear sent text"}}) {
        button->setIcon(clearIcon);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setToolTip(QString::fromLatin1(hint));
        button->setStatusTip(QString::fromLatin1(hint));
    }
    lblSentText = Make<QLabel>(this, "lblSentText");
    lblSentText->setText(QStringLiteral("Sent text:"));
    redSent = Make<TTalkPane>(this, "redSent");
    lblTextToSend = Make<QLabel>(this, "lblTextToSend");
    lblTextToSend->setText(QStringLiteral("Text to send:"));
    edSendText = Make<QLineEdit>(this, "edSendText");
    edSendText->installEventFilter(this);

    const auto button = [this](const char* name, const char* caption, const QIcon& icon) {
        auto* b = Make<QPushButton>(this, name);
        b->setText(QString::fromLatin1(caption));
        b->setIcon(icon);
        return b;
    };
    btnConnect = button("btnConnect", "&Connect",
                        QIcon::fromTheme(QStringLiteral("network-connect"),
                                         style()->standardIcon(QStyle::SP_DialogYesButton)));
    btnDisconnet = button("btnDisconnet", "&Disconnet",
                          QIcon::fromTheme(QStringLiteral("network-disconnect"),
                                           style()->standardIcon(QStyle::SP_DialogNoButton)));
    btnSendMessage = button("btnSendMessage", "&Send message", MenuImage(0));
    btnExit = button("btnExit", "&Exit Talk", MenuImage(3));

    StatusBar = Make<QStatusBar>(this, "StatusBar");
    StatusBar->setSizeGripEnabled(false);
    FStatusText = Make<QLabel>(StatusBar, "StatusText");
    FStatusText->setTextFormat(Qt::PlainText);
    StatusBar->addWidget(FStatusText, 1);

    // The positions are those of a window laid out for a small 8-point font;
    // everything grows until the captions fit the font in use.
    double scale = 1.0;
    scale = std::max(scale, lblTextToSend->sizeHint().width() / 66.0);
    for (QPushButton* b : {btnConnect, btnDisconnet, btnSendMessage, btnExit})
        scale = std::max(scale, b->sizeHint().width() / 106.0);
    scale = std::max(scale, StatusBar->sizeHint().height() / 19.0);
    const auto px = [scale](int v) { return int(v * scale); };
    const auto place = [&](QWidget* w, int x, int y, int width, int height) {
        w->setGeometry(px(x), px(y), px(width), px(height));
    };
    const auto placeLabel = [&](QLabel* l, int x, int y) {
        l->move(px(x), px(y));
        l->adjustSize();
    };
    placeLabel(lblReceivedText, 5, 5);
    place(redReceived, 5, 20, 421, 166);
    place(btnClearReceived, 435, 155, 26, 26);
    placeLabel(lblSentText, 5, 195);
    place(redSent, 5, 210, 421, 141);
    place(btnClearSent, 435, 215, 26, 26);
    placeLabel(lblTextToSend, 5, 360);
    place(edSendText, 75, 355, 351, 21);
    place(btnConnect, 435, 30, 106, 29);
    place(btnDisconnet, 435, 70, 106, 29);
    place(btnSendMessage, 435, 295, 106, 29);
    place(btnExit, 435, 335, 106, 29);
    StatusBar->setGeometry(0, px(ClientHeight) - px(19), px(ClientWidth), px(19));
    setFixedSize(px(ClientWidth), px(ClientHeight));

    setTabOrder(btnConnect, btnDisconnet);
    setTabOrder(btnDisconnet, btnSendMessage);
    setTabOrder(btnSendMessage, btnExit);
    setTabOrder(btnExit, redReceived);
    setTabOrder(redReceived, redSent);
    setTabOrder(redSent, edSendText);
    btnConnect->setFocus();

    const auto click = [this](QAbstractButton* b, void (TfTalk::*handler)()) {
        connect(b, &QAbstractButton::clicked, this,
                [this, handler] { Guarded(this, [&] { (this->*handler)(); }); });
    };
    click(btnConnect, &TfTalk::btnConnectClick);
    click(btnDisconnet, &TfTalk::btnDisconnetClick);
    click(btnSendMessage, &TfTalk::btnSendMessageClick);
    click(btnExit, &TfTalk::btnExitClick);
    click(btnClearReceived, &TfTalk::btnClearReceivedClick);
    click(btnClearSent, &TfTalk::btnClearSentClick);

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
    FRemoteHost = InitialHost;
    ServerSocket->SetPort(Port);
    ClientSocket->SetPort(Port);
    using namespace std::placeholders;
    ClientSocket->OnConnect = std::bind(&TfTalk::ClientSocketConnect, this, _1, _2);
    ClientSocket->OnRead = std::bind(&TfTalk::ClientSocketRead, this, _1, _2);
    ClientSocket->OnWrite = std::bind(&TfTalk::ClientSocketWrite, this, _1, _2);
    ClientSocket->OnDisconnect = std::bind(&TfTalk::ClientSocketDisconnect, this, _1, _2);
    ClientSocket->OnError = std::bind(&TfTalk::ClientSocketError, this, _1, _2, _3, _4);
    ServerSocket->OnListen = std::bind(&TfTalk::ServerSocketListen, this, _1, _2);
    ServerSocket->OnClientConnect = std::bind(&TfTalk::ServerSocketClientConnect, this, _1, _2);
    ServerSocket->OnClientRead = std::bind(&TfTalk::ServerSocketClientRead, this, _1, _2);
    ServerSocket->OnClientWrite = std::bind(&TfTalk::ServerSocketClientWrite, this, _1, _2);
    ServerSocket->OnClientDisconnect =
        std::bind(&TfTalk::ServerSocketClientDisconnect, this, _1, _2);
    // No OnClientError: failures of an incoming session reach the
    // application's handler as exceptions.

    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
}

TfTalk::~TfTalk() {
    Detach();
    if (fTalk == this) fTalk = nullptr;
}

void TfTalk::FormCreate() {
    setWindowIcon(WindowIcon(QStringLiteral("Z_ICN_TALK")));
    FConnecting = false;
    Listen();
}

bool TfTalk::Owns(const QObject* Sender) const {
    for (const QObject* o = Sender; o; o = o->parent())
        if (o == this) return true;
    return false;
}

QString TfTalk::StatusText() const {
    return FStatusText->text();
}

void TfTalk::SetHoldTime(int Ms) {
    FHoldTimer.setInterval(Ms);
}

void TfTalk::SetStatusText(const std::string& Text) {
    FStatusText->setText(DecodeForLine(Text));
}

// Opens the listener. A failure (the port taken by another program) is
// reported and leaves the window open without listening: the conversation on
// screen stays, and outgoing sessions still work.
void TfTalk::Listen() {
    try {
        ServerSocket->Open();
    } catch (...) {
        SetStatusText("");
        HandleException(ServerSocket);
    }
}

bool TfTalk::HandleFailure(QObject* Sender, const Exception& E, bool Retry) {
    if (!Owns(Sender) || !(Retry || dynamic_cast<const ESocketError*>(&E))) return false;
    if (Sender != ClientSocket || !FConnecting) {
        if (FServices.ReportFailure) FServices.ReportFailure(E.Message());
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
    const QPointer<TfTalk> self(this);
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

TSocketConnection* TfTalk::IncomingSession() const {
    return FIncoming && FIncoming->Connected() ? FIncoming.data() : nullptr;
}

void TfTalk::AddStatusLine(const std::string& Text, TTalkPane* Pane) {
    if (Pane != redReceived) return Pane->AppendLine(Text + "\r\n", true);
    ShowRefusals();
    ShowReceived(Text + "\r\n", true);
}

// ---- user commands

void TfTalk::btnConnectClick() {
    const QPointer<TfTalk> self(this);
    if (ServerSocket->ConnectionCount() >= 1 || ClientSocket->Active()) {
        if (FServices.MessageBoxes->Show(this, "Close the current connection?", "Warning",
                                         TMsgIcon::Warning, TMsgButtons::YesNo) != TMsgResult::Yes)
            return;
        if (!self) return;
    }
    std::string host = FRemoteHost;
    if (!FServices.InputBoxes ||
        !FServices.InputBoxes->InputQuery(this, "Connect to",
                                          "Name or direction of the remote machine:", host))
        return;
    if (!self) return;
    FRemoteHost = host;

    ServerSocket->Close();
    // A made connection closes with its disconnect event, which listens again.
    ClientSocket->Close();
    SetStatusText("Conecting to " + FRemoteHost + "...");
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

void TfTalk::btnDisconnetClick() {
    if (ClientSocket->Active())
        ClientSocket->Close();
    else if (TSocketConnection* session = IncomingSession())
        session->Close();
}

bool TfTalk::edSendTextKeyPress(int Key) {
    if (Key != '\r') return false;
    TSocketConnection* to = ClientSocket->Active() ? ClientSocket->Connection() : IncomingSession();
    if (!to) {
        AddStatusLine("Not connected", redSent);
        return false;
    }
    const QPointer<TfTalk> self(this);
    const std::string text = EncodeTyped(edSendText->text());
    SendLine(to, text);
    if (!self) return true;
    redSent->AppendLine(text, false);
    edSendText->clear();
    return true;
}

void TfTalk::btnSendMessageClick() {
    if (FServices.SendMessage) FServices.SendMessage();
}

void TfTalk::btnClearReceivedClick() {
    FRefusals.clear();
    redReceived->Clear();
}

void TfTalk::btnClearSentClick() {
    redSent->Clear();
}

void TfTalk::btnExitClick() {
    close();
}

// ---- sending

// The line goes out in one send. What the peer's connection cannot take now
// waits and follows, in order, when it makes room: a peer that is slow to
// read must not lose part of a line shown as sent.
void TfTalk::SendLine(TSocketConnection* To, const std::string& Text) {
    if (FQueuedTo != To) {
        FQueued.clear();
        FQueuedTo = To;
    }
    const bool waiting = !FQueued.empty();
    FQueued += Text;
    if (!waiting) SendQueued(To);
}

void TfTalk::SendQueued(TSocketConnection* Socket) {
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

void TfTalk::ClientSocketWrite(QObject*, TSocketConnection* Socket) {
    SendQueued(Socket);
}

void TfTalk::ServerSocketClientWrite(QObject*, TSocketConnection* Socket) {
    SendQueued(Socket);
}

// ---- receiving

void TfTalk::ClientSocketRead(QObject*, TSocketConnection* Socket) {
    ReadPiece(Socket);
}

void TfTalk::ServerSocketClientRead(QObject*, TSocketConnection* Socket) {
    ReadPiece(Socket);
}

// The window reads ReadBufferSize bytes a turn of the event loop: what the
// socket layer read waits in FInbox, and the next piece follows from a timer
// in the next turn. Until FInbox is empty the layer is not asked for more, so
// a peer that sends faster than the screen shows is slowed down by TCP.
void TfTalk::ReadPiece(TSocketConnection* Socket) {
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
void TfTalk::ShowInbox(TSocketConnection* Socket) {
    if (FInboxFrom != Socket) return;
    FInboxFrom = nullptr;
    Received(Socket, std::exchange(FInbox, {}));
}

// Each read shows as one new line. A read that ends inside a UTF-8 character
// waits a moment for the rest, and the two show together; a read that filled
// the read buffer (a peer sending without pause) shows at once, and only its
// cut character waits to begin the next line.
void TfTalk::Received(TSocketConnection* Socket, std::string Bytes) {
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

void TfTalk::ShowHeld() {
    FHoldTimer.stop();
    FHeldFrom = nullptr;
    if (FHeld.empty()) return;
    const std::string held = std::exchange(FHeld, {});
    ShowRefusals();
    ShowReceived(held, false);
}

// What a session leaves behind when it ends: bytes still held are shown, bytes
// not yet sent are dropped.
void TfTalk::SessionEnded(TSocketConnection* Socket) {
    ShowInbox(Socket);
    if (FHeldFrom == Socket) ShowHeld();
    if (FQueuedTo == Socket) FQueued.clear();
}

// ---- outgoing side

void TfTalk::ClientSocketConnect(QObject*, TSocketConnection* Socket) {
    FConnecting = false;
    KeepAlive(Socket);
    ShowPeerLine(Socket, "Connected to ");
    edSendText->setFocus();
}

void TfTalk::ClientSocketDisconnect(QObject*, TSocketConnection* Socket) {
    SessionEnded(Socket);
    ShowPeerLine(Socket, "Disconnected from ");
    Listen();
}

void TfTalk::ClientSocketError(QObject*, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                               int& ErrorCode) {
    FConnecting = false;
    const std::string text =
        "Talk: " + SocketFailureText(ErrorEvent, ErrorCode, Socket, ClientSocket->Host());
    ErrorCode = 0;
    const QPointer<TfTalk> self(this);
    if (!text.empty())
        FServices.MessageBoxes->Show(this, text, Caption::Error, TMsgIcon::Error, TMsgButtons::Ok);
    if (!self) return;
    ClientSocket->Close();
    Listen();
}

// ---- incoming side

void TfTalk::ServerSocketListen(QObject*, TSocketConnection*) {
    SetStatusText("Listening for a connection...");
}

void TfTalk::ServerSocketClientConnect(QObject*, TSocketConnection* Socket) {
    // One session at a time, whichever side started it: while this window
    // connects out or talks over its own connection, a caller is refused too.
    if (!IncomingSession() && !ClientSocket->Active() && !FConnecting) {
        FIncoming = Socket;
        KeepAlive(Socket);
        ShowPeerLine(Socket, "Connected to ");
        edSendText->setFocus();
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

void TfTalk::WithPeerText(TSocketConnection* Socket,
                          std::function<void(const std::string&)> Show) {
    const std::string address = Socket->PeerAddress();
    std::string name;
    if (Socket->PeerNameKnown(name)) return Show(name + " (" + address + ")");
    Socket->WhenPeerNamed(this, [address, Show = std::move(Show)](const std::string& Name) {
        Show(Name + " (" + address + ")");
    });
}

void TfTalk::ShowPeerLine(TSocketConnection* Socket, const std::string& What) {
    ShowRefusals();
    // The line keeps its place while the name is looked up: a deque keeps its
    // elements where they are as others are added at its ends.
    TPaneLine* slot = &FPaneLines.emplace_back();
    WithPeerText(Socket, [this, slot, What](const std::string& Peer) {
        SetStatusText(What + Peer);
        *slot = {What + Peer + "\r\n", true, true};
        ShowReadyLines();
    });
}

void TfTalk::ShowReceived(std::string Bytes, bool Bold) {
    if (FPaneLines.empty()) return redReceived->AppendLine(Bytes, Bold);
    FPaneLines.push_back({std::move(Bytes), Bold, true});
}

void TfTalk::ShowReadyLines() {
    while (!FPaneLines.empty() && FPaneLines.front().Ready) {
        const TPaneLine line = std::move(FPaneLines.front());
        FPaneLines.pop_front();
        redReceived->AppendLine(line.Bytes, line.Bold);
    }
    if (FPaneLines.empty() && FInboxFrom) FReadTimer.start();  // read on
}

void TfTalk::ShowRefusals() {
    FRefusalTimer.stop();
    if (!FRefusals.empty()) ShowReceived(std::exchange(FRefusals, {}), true);
}

void TfTalk::ServerSocketClientDisconnect(QObject*, TSocketConnection* Socket) {
    // A refused caller's close writes nothing.
    if (Socket != FIncoming) return;
    FIncoming = nullptr;
    SessionEnded(Socket);
    try {
        ShowPeerLine(Socket, "Disconnected from ");
        SetStatusText("Listening for a connection...");
    } catch (const Exception& e) {
        FServices.MessageBoxes->Show(this, e.Message(), Caption::AppTitle, TMsgIcon::Error,
                                     TMsgButtons::Ok);
    }
}

// ---- closing

bool TfTalk::event(QEvent* Event) {
    // The status bar shows the hint of the control under the pointer.
    if (Event->type() == QEvent::StatusTip) {
        StatusBar->showMessage(static_cast<QStatusTipEvent*>(Event)->tip());
        return true;
    }
    return QWidget::event(Event);
}

bool TfTalk::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == edSendText && Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !(key->modifiers() & Qt::ControlModifier)) {
            bool consumed = false;
            Guarded(this, [&] { consumed = edSendTextKeyPress('\r'); });
            return consumed;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfTalk::closeEvent(QCloseEvent* Event) {
    // Deleted once the event being handled has returned (WA_DeleteOnClose).
    // Until then no handler of this window may run: the sockets close now,
    // without their events, and the peer sees the session end.
    Event->accept();
    Detach();
    if (fTalk == this) fTalk = nullptr;
}

void TfTalk::Detach() {
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
