#pragma once

#include <memory>

#include <QPointer>
#include <string>
#include <vector>

#include "app/FailureRouter.h"
#include "app/TrayStatus.h"
#include "messaging/MessageReceiver.h"
#include "messaging/MessageSender.h"
#include "platform/Exceptions.h"
#include "store/MessageLog.h"
#include "store/ReceivedList.h"
#include "store/Settings.h"
#include "ui/OptionsForm.h"

class IInputBoxService;
class IServiceDiscovery;
class IMessageBoxService;
class ISoundPlayer;
class TAwayModes;
class QAction;
class QMenu;
class TAsyncClientSocket;
class TAsyncServerSocket;
class TFileDialogs;
class TNotifyIcon;
class TReceivedJournal;
class TSavedMessages;
class TSettingsStore;
class TSocketErrorReport;
class TSocketConnection;
class TfShowMessage;

// The socket layer's failed-call hook for the UI thread. Never returns.
[[noreturn]] void SocketErrorHook(int ErrorCode);

// What the open alert windows may cost together before further messages are
// counted as unread instead, as past the cap on their number. A window costs
// about the size of its text.
constexpr std::size_t DefaultAlertBudget = std::size_t(32) << 20;

// The services and places the main form works with; the program passes the
// real ones, tests pass recorders and temporary folders.
struct TMainServices {
    IMessageBoxService* MessageBoxes = nullptr;
    ISoundPlayer* Sound = nullptr;
    TFileDialogs* FileDialogs = nullptr;
    // The talk window's "Connect to" box.
    IInputBoxService* InputBoxes = nullptr;
    std::string ExecutablePath;  // the running program's full path
    std::string SettingsPath;    // empty: the user's settings file
    std::string AutostartPath;   // empty: the user's autostart entry
    std::string JournalPath;     // empty: the user's received-messages journal
    // Announces this copy and finds the others; none: neither happens.
    IServiceDiscovery* Discovery = nullptr;
    // Received messages past this many bytes wait in a spill file (empty
    // path: the user's cache folder) instead of memory.
    std::size_t ReceivedBudget = TReceivedList::DefaultBudget;
    std::string SpillPath;
    // Open alert windows may hold this much; past it messages are counted.
    std::size_t AlertBudget = DefaultAlertBudget;
};

// The hub of the program: created hidden at start, shown only as the options
// dialog. It owns the message sockets, the tray icon and its menu, the records
// of the run and every window it opens, and binds the subsystems together.
class TfMain : public TOptionsForm,
               public IMessagingHost,
               public ITrayOutput,
               public ILiveSettings {
    Q_OBJECT
public:
    explicit TfMain(const TMainServices& Services);
    ~TfMain() override;

    // Components.
    TAsyncServerSocket* ServerSocket;
    TAsyncClientSocket* ClientSocket;
    TNotifyIcon* NotifyIcon;
    QMenu* TrayMenu;
    QAction* mnSendMessage;
    QAction* mnResendLastMessage;
    QAction* mnOpenTalk;
    QAction* mnOptions;
    QAction* mnDisableAlerts;
    QAction* mnAutoResponse;
    QAction* mnChangeResponse;
    QAction* mnShowReceivedMessages;
    QAction* mnShowSavedMessages;
    QAction* mnShowSessionLog;
    QAction* mnCloseMessages;
    QAction* mnAbout;
    QAction* mnExit;

    // State of the run.
    int FUnreadCount = 0;
    int FTalkPort = 0;
    std::string FSavedMessagesFile;
    std::string FResponseMessage;
    TStringList FRecentHosts;
    TReceivedList FReceivedMessages;
    TStringList FSessionLog;
    std::vector<TfShowMessage*> FMessageWindows;

    TTrayStatus& TrayStatus() { return *FTrayStatus; }
    TMessageSender& Sender() { return *FSender; }
    TAwayModes& AwayModes() { return *FAwayModes; }
    TMessageReceiver& Receiver() { return *FReceiver; }

    // Tray menu commands.
    void mnSendMessageClick();
    void mnResendLastMessageClick();
    void mnOpenTalkClick();
    void mnOptionsClick();
    void mnDisableAlertsClick();
    void mnAutoResponseClick();
    void mnChangeResponseClick();
    void mnShowReceivedMessagesClick();
    void mnShowSavedMessagesClick();
    void mnShowSessionLogClick();
    void mnCloseMessagesClick();
    void mnAboutClick();
    void mnExitClick();

    // Runs the event loop until the program is told to end, and returns its
    // status. An Exit that came during start-up (chosen while the start-up
    // prompt waited) has no loop to end yet: the loop is then not entered.
    int RunLoop();

    // Options dialog.
    void btnOKClick();
    void btnCancelClick();
    void btnSelectSoundClick();
    void btnPlayClick();
    void btnDeleteReceivedMessagesClick();
    void btnDeleteSavedMessagesClick();

    // Messages.
    void OpenSendDialog(bool Resend);
    bool SendMessageTo(const TStringList& Hosts, const std::string& Text);
    void ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketConnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDrained(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketRead(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket);
    void ClientSocketError(QObject* Sender, TSocketConnection* Socket, TSocketErrorKind ErrorEvent,
                           int& ErrorCode);

    // The application's exception handler.
    void AppException(QObject* Sender, const Exception& E);
    // An attempt in progress (the send, the talk window's) is handling a
    // failure the socket layer raised itself: a failed call becomes a retry.
    bool RetryArmed() const;

    void LoadSettings();
    void SaveSettings() override;
    void UpdateTrayStatus();

    void RemoveMessageWindow(TfShowMessage* Window);
    bool HasMessageWindows() const { return !FMessageWindows.empty(); }
    // What the open alert windows hold.
    std::size_t AlertsCost() const;

    // IMessagingHost
    TArrivalOptions ArrivalOptions() override;
    ISoundPlayer& Sound() override { return *FServices.Sound; }
    IMessageBoxService& MessageBoxes() override { return *FServices.MessageBoxes; }
    void ShowAlert(const std::string& Title, const std::string& Text, bool OnTop,
                   bool AutoResponseSent) override;
    std::string ResponseMessage() override { return FResponseMessage; }
    void RecordReceived(const TStringList& Entry) override;
    void CountUnread() override;
    void SetRecentHosts(const TStringList& Hosts) override;
    void AddSessionLog(const TStringList& Entry) override;
    void TrayConnecting(const std::string& Host) override;
    void TraySent(const std::string& PeerName, const std::string& PeerAddress) override;
    void TrayRecipientAlertsOff(const std::string& PeerName,
                                const std::string& PeerAddress) override;
    void TraySendFailed() override;

    // ITrayOutput
    void ShowTrayImage(int Index) override;
    void ShowTrayHint(const std::string& Hint) override;

    // ILiveSettings
    bool GetBool(TSettingId Id) const override;
    void SetBool(TSettingId Id, bool Value) override;
    std::string GetText(TSettingId Id) const override;
    void SetText(TSettingId Id, const std::string& Value) override;
    int MessagePort() const override;
    void SetMessagePort(int Port) override;
    int TalkPort() const override { return FTalkPort; }
    void SetTalkPort(int Port) override { FTalkPort = Port; }
    std::vector<std::string> RecentHosts() const override { return FRecentHosts; }
    void CloseMessageSockets() override;
    void SetPortEditTexts(const std::string& Port, const std::string& TalkPort) override;
    std::string ExecutablePath() const override { return FServices.ExecutablePath; }

protected:
    void TextControlsMade() override;
    void closeEvent(QCloseEvent* Event) override;
    void reject() override;

private:
    void FormCreate();
    void FormDestroy();
    void CreateTrayMenu();
    TfShowMessage* NewMessageWindow();
    void Own(QWidget* Window);
    void ShowOwned(QWidget* Window);
    void ShowSplash();
    void EndRun();
    void AlertsChanged();
    void ShowViewer(const std::string& Title, const TStringList& Lines);
    void ShowReceivedViewer();
    bool SaveMessagesOn() const;
    // Listens on the message port, and puts the announcement in step with
    // the listener and the option, whether or not listening worked.
    void OpenListener();
    void UpdateAnnouncement();
    template <class Fn>
    void Bind(QAction* Item, Fn Handler);

    TMainServices FServices;
    std::unique_ptr<TTrayStatus> FTrayStatus;
    std::unique_ptr<TMessageSender> FSender;
    std::unique_ptr<TMessageReceiver> FReceiver;
    std::unique_ptr<TSettingsStore> FSettings;
    std::unique_ptr<TSavedMessages> FSavedMessages;
    std::unique_ptr<TReceivedJournal> FJournal;
    std::unique_ptr<TAwayModes> FAwayModes;
    struct TLoadedText {
        std::string Bytes;  // as stored
        QString Shown;      // as the control shows them
    };
    TLoadedText FLoadedSoundFile, FLoadedResponse;
    std::unique_ptr<TSocketErrorReport> FSocketErrors;  // "Unexpected socket error" boxes
    TFailureRouter FFailures;
    std::vector<QPointer<QWidget>> FOwnedWindows;       // every window opened, oldest first
    bool FEndAsked = false;                             // Exit went ahead
};

extern TfMain* fMain;
