#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include <QPointer>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include "net/SocketError.h"

class IInputBoxService;
class IMessageBoxService;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QToolButton;
class TAsyncClientSocket;
class TAsyncServerSocket;
class TSocketConnection;

// A pane of the talk window: lines added at the end, each in bold or regular
// type, and the newest one kept in view. Text is bytes, shown as the message
// windows show them and never read as markup.
class TTalkPane : public QTextEdit {
    Q_OBJECT
public:
    // A peer may send without end: the oldest lines go past this many, or
    // past this many characters.
    static constexpr int MaxLines = 5000;
    static constexpr int MaxChars = 1 << 20;

    explicit TTalkPane(QWidget* Parent = nullptr);

    // Adds Bytes as a new line; CR LF, CR and LF inside it start further lines
    // (so a trailing break leaves an empty line after it).
    void AppendLine(std::string_view Bytes, bool Bold);
    void Clear();

private:
    bool FEmpty = true;  // no line yet: the first one goes into the empty block
};

// What the talk window needs from the program.
struct TTalkServices {
    IMessageBoxService* MessageBoxes = nullptr;
    IInputBoxService* InputBoxes = nullptr;
    std::function<void()> SendMessage;  // the tray command "Send a message..."
    // "Unexpected socket error" for the talk port, as the program limits them.
    std::function<void(const std::string& Message)> ReportFailure;
};

// The Talk window: a one-to-one line chat over the talk port. While it is open
// it listens there, so either side may start the session; it holds one session
// at a time and tells a further caller so before dropping it. An independent
// top-level window, destroyed (deferred) when closed.
class TfTalk : public QWidget {
    Q_OBJECT
public:
    // Listens on Port at once; a failure to do so is reported through the
    // application's handler and the window opens anyway, not listening.
    TfTalk(const TTalkServices& Services, const std::string& InitialHost, int Port);
    ~TfTalk() override;

    // A failure that reached the application's handler from Sender: handled,
    // and true, when Sender is this window or one of its sockets. The
    // attempt's failures end the attempt; the listener's and the accepted
    // connections' are reported as the talk port's. Retry: the socket hook
    // asks for the attempt to be reopened.
    bool HandleFailure(QObject* Sender, const Exception& E, bool Retry);
    // Handling a failure of the attempt that the socket layer raised itself:
    // a failed call meanwhile is to become a retry.
    bool RetryArmed() const { return FRetryArmed; }

    TAsyncClientSocket* Client() const { return ClientSocket; }
    TAsyncServerSocket* Server() const { return ServerSocket; }
    // An outgoing attempt is under way: from Connect until it connects or fails.
    bool Connecting() const { return FConnecting; }
    const std::string& RemoteHost() const { return FRemoteHost; }

    QLabel* lblReceivedText;
    TTalkPane* redReceived;
    QToolButton* btnClearReceived;
    QLabel* lblSentText;
    TTalkPane* redSent;
    QToolButton* btnClearSent;
    QLabel* lblTextToSend;
    QLineEdit* edSendText;
    QPushButton* btnConnect;
    QPushButton* btnDisconnet;
    QPushButton* btnSendMessage;
    QPushButton* btnExit;
    QStatusBar* StatusBar;

    // A peer's bytes are read and shown this many at a time, one turn of the
    // event loop each: a read is one line up to this size.
    static constexpr std::size_t ReadBufferSize = 8192;

    // The state text of the status bar (hints show over it for a while).
    QString StatusText() const;
    // How long received bytes that end inside a UTF-8 character wait for the
    // rest of it before they show as they are (300 ms).
    void SetHoldTime(int Ms);

    void btnConnectClick();
    void btnDisconnetClick();
    // Key is a typed character; true when it was consumed.
    bool edSendTextKeyPress(int Key);
    void btnSendMessageClick();
    void btnClearReceivedClick();
    void btnClearSentClick();
    void btnExitClick();

    void ClientSocketConnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketRead(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketWrite(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket);
    // Reports a failure of the outgoing side, clears ErrorCode, ends the
    // session and listens again.
    void ClientSocketError(QObject* Sender, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                           int& ErrorCode);
    void ServerSocketListen(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientConnect(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientWrite(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TSocketConnection* Socket);

    // Text and a line break in bold, so an empty line follows it.
    void AddStatusLine(const std::string& Text, TTalkPane* Pane);

protected:
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    bool Owns(const QObject* Sender) const;
    void FormCreate();
    void Listen();
    void SetStatusText(const std::string& Text);
    TSocketConnection* IncomingSession() const;
    void Received(TSocketConnection* Socket, std::string Bytes);
    void ReadPiece(TSocketConnection* Socket);
    void ShowInbox(TSocketConnection* Socket);
    void ShowHeld();
    void ShowRefusals();
    // Calls Show with the peer's "name (address)", the way every line of this
    // window names it: at once when the name is known, else when its lookup
    // ends (within a second). The window never waits for a name.
    void WithPeerText(TSocketConnection* Socket, std::function<void(const std::string&)> Show);
    // "Connected to"/"Disconnected from" the peer, in the status bar and the
    // received pane, in its place among the pane's lines even when the name
    // comes later: the lines after it wait, and reading stops meanwhile.
    void ShowPeerLine(TSocketConnection* Socket, const std::string& What);
    void ShowReceived(std::string Bytes, bool Bold);
    void ShowReadyLines();
    void SendLine(TSocketConnection* To, const std::string& Text);
    void SendQueued(TSocketConnection* Socket);
    void SessionEnded(TSocketConnection* Socket);
    void Detach();

    TTalkServices FServices;
    TAsyncClientSocket* ClientSocket;
    TAsyncServerSocket* ServerSocket;
    bool FConnecting = false;
    bool FRetryArmed = false;
    // Host of the last or next outgoing session, as the user typed it.
    std::string FRemoteHost;
    QLabel* FStatusText;
    QPointer<TSocketConnection> FIncoming;  // the accepted connection holding the session
    // Read by the socket layer, shown a piece a turn.
    std::string FInbox;
    QPointer<TSocketConnection> FInboxFrom;
    QTimer FReadTimer;
    // Received bytes that end in part of a UTF-8 character wait here a moment
    // for the rest of it, so a character split in transit shows whole.
    std::string FHeld;
    QPointer<TSocketConnection> FHeldFrom;
    QTimer FHoldTimer;
    // Lines for refused callers, shown together a moment later.
    std::string FRefusals;
    struct TPaneLine {
        std::string Bytes;
        bool Bold = false;
        bool Ready = false;  // false: its peer's name is being looked up
    };
    std::deque<TPaneLine> FPaneLines;  // received-pane lines waiting their turn
    QTimer FRefusalTimer;
    // What the peer's connection did not take yet; sent as it makes room.
    std::string FQueued;
    QPointer<TSocketConnection> FQueuedTo;
};

// The one talk window, or null; cleared when the window closes.
extern TfTalk* fTalk;
