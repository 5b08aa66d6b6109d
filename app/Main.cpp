#include "app/Main.h"

#include <exception>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "app/AwayModes.h"
#include "app/SocketErrorReport.h"
#include "messaging/FoundPeers.h"
#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/AvahiDiscovery.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBox.h"
#include "platform/Sound.h"
#include "platform/TextCodec.h"
#include "store/DataPlaces.h"
#include "store/ReceivedJournal.h"
#include "store/SavedMessages.h"
#include "store/TimeStamp.h"
#include "talk/Talk.h"
#include "ui/AboutEng.h"
#include "ui/NotifyIcon.h"
#include "ui/NumberEdit.h"
#include "ui/SendMessage.h"
#include "ui/ShowMessage.h"
#include "ui/Splash.h"
#include "ui/TextViewer.h"
#include "ui/TrayImages.h"

TfMain* fMain = nullptr;

namespace {
constexpr int DefaultMessagePort = 13769;

std::string DirectoryOf(const std::string& Path) {
    const std::size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string(".") : Path.substr(0, slash);
}

// A memo's text as the program holds it: lines joined by CR LF.
std::string MemoText(const QString& Shown) {
    std::string text = EncodeTyped(Shown);
    std::string joined;
    joined.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') joined += '\r';
        joined += c;
    }
    return joined;
}

QString MemoShown(const std::string& Text) {
    QStringList lines;
    for (const std::string& line : SplitLines(UpToNul(Text))) lines << DecodeForScreen(line);
    return lines.join('\n');
}

bool ToInt(const QString& Text, int& Value) {
    bool ok = false;
    const int number = Text.trimmed().toInt(&ok, 10);
    if (ok) Value = number;
    return ok;
}
}  // namespace

[[noreturn]] void SocketErrorHook(int ErrorCode) {
    if (ErrorCode == SocketCode::AddressInUse)
        throw ESocketError("Winsock: Port or address already in use.", -1);
    if (fMain && fMain->RetryArmed()) throw ERetryOpen(ErrorCode);
    throw ESocketError("Winsock error " + std::to_string(ErrorCode) + ".", -1);
}

template <class Fn>
void TfMain::Bind(QAction* Item, Fn Handler) {
    connect(Item, &QAction::triggered, this,
            [this, Handler] { Guarded(this, [&] { Handler(); }); });
}

TfMain::TfMain(const TMainServices& Services)
    : TOptionsForm(nullptr),
      FReceivedMessages(Services.ReceivedBudget, Services.SpillPath.empty()
                                                      ? TReceivedList::DefaultSpillPath()
                                                      : Services.SpillPath),
      FServices(Services) {
    fMain = this;

    ServerSocket = new TAsyncServerSocket(this);
    ServerSocket->SetPort(DefaultMessagePort);
    ServerSocket->SetSilentTimeout(MessageSilentTimeoutMs);
    ClientSocket = new TAsyncClientSocket(this);
    ClientSocket->SetPort(DefaultMessagePort);

    FSender = std::make_unique<TMessageSender>(*ClientSocket, *this);
    FReceiver = std::make_unique<TMessageReceiver>(*this);
    FSocketErrors = std::make_unique<TSocketErrorReport>(
        *FServices.MessageBoxes, [this](const TStringList& Entry) { AddSessionLog(Entry); });
    FFailures.Add([this](QObject* Sender, const Exception& E, bool Retry) {
        return FSender->HandleFailure(Sender, E, Retry);
    });
    FFailures.Add([](QObject* Sender, const Exception& E, bool Retry) {
        return fTalk && fTalk->HandleFailure(Sender, E, Retry);
    });
    // Failures of incoming message connections: any peer can cause them.
    FFailures.Add([this](QObject* Sender, const Exception& E, bool Retry) {
        if (Sender != ServerSocket || !(Retry || dynamic_cast<const ESocketError*>(&E)))
            return false;
        FSocketErrors->Report(E.Message(), TFailureSource::MessagePort);
        return true;
    });
    TTrayInputs inputs;
    inputs.UnreadCount = [this] { return FUnreadCount; };
    inputs.AlertOnMessage = [this] { return cbAlertOnMessage->isChecked(); };
    inputs.DisableAlerts = [this] { return mnDisableAlerts->isChecked(); };
    inputs.AutoResponse = [this] { return mnAutoResponse->isChecked(); };
    inputs.Sending = [this] { return FSender->FSending; };
    FTrayStatus = std::make_unique<TTrayStatus>(std::move(inputs), *this, this);

    ServerSocket->OnClientRead = [this](QObject* s, TSocketConnection* c) {
        ServerSocketClientRead(s, c);
    };
    ServerSocket->OnClientDisconnect = [this](QObject* s, TSocketConnection* c) {
        ServerSocketClientDisconnect(s, c);
    };
    ClientSocket->OnConnect = [this](QObject* s, TSocketConnection* c) {
        ClientSocketConnect(s, c);
    };
    ClientSocket->OnRead = [this](QObject* s, TSocketConnection* c) { ClientSocketRead(s, c); };
    ClientSocket->OnDrained = [this](QObject* s, TSocketConnection* c) {
        ClientSocketDrained(s, c);
    };
    ClientSocket->OnDisconnect = [this](QObject* s, TSocketConnection* c) {
        ClientSocketDisconnect(s, c);
    };
    ClientSocket->OnError = [this](QObject* s, TSocketConnection* c, TSocketErrorKind k,
                                   int& code) { ClientSocketError(s, c, k, code); };

    TRegistryFile registry =
        FServices.SettingsPath.empty() ? TRegistryFile() : TRegistryFile(FServices.SettingsPath);
    TAutostart autostart =
        FServices.AutostartPath.empty() ? TAutostart() : TAutostart(FServices.AutostartPath);
    FSettings = std::make_unique<TSettingsStore>(*this, *FServices.MessageBoxes,
                                                 std::move(registry), std::move(autostart));
    FJournal = FServices.JournalPath.empty()
                   ? std::make_unique<TReceivedJournal>(FReceivedMessages)
                   : std::make_unique<TReceivedJournal>(FReceivedMessages, FServices.JournalPath);
    FJournal->OnWriteFailed = [this](const std::string& Text) {
        MessageBoxes().Show(nullptr, Text, Caption::Error, TMsgIcon::Error, TMsgButtons::Ok);
    };

    CreateTrayMenu();
    TAwayControls away;
    away.mnDisableAlerts = mnDisableAlerts;
    away.mnAutoResponse = mnAutoResponse;
    away.mnChangeResponse = mnChangeResponse;
    away.cbAutoDisableAlerts = cbAutoDisableAlerts;
    away.rbUseDefaultResponse = rbUseDefaultResponse;
    away.DefaultResponse = [this] { return GetText(TSettingId::ResponseMessage); };
    away.UpdateTrayStatus = [this] { UpdateTrayStatus(); };
    away.NewPrompt = [this] {
        auto* prompt = new TfAutoResponse();
        Own(prompt);
        return prompt;
    };
    FAwayModes = std::make_unique<TAwayModes>(std::move(away), FResponseMessage);
    NotifyIcon = new TNotifyIcon(this);
    NotifyIcon->SetIcon(TrayImage(tiIdle));
    NotifyIcon->SetPopupMenu(TrayMenu);
    NotifyIcon->OnDblClick = [this](QObject*) { Guarded(this, [this] { mnSendMessageClick(); }); };
    NotifyIcon->SetVisible(true);

    connect(btnOK, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnOKClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnCancelClick(); }); });
    connect(btnSelectSound, &QToolButton::clicked, this,
            [this] { Guarded(this, [this] { btnSelectSoundClick(); }); });
    connect(btnPlay, &QToolButton::clicked, this,
            [this] { Guarded(this, [this] { btnPlayClick(); }); });
    connect(btnDeleteReceivedMessages, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnDeleteReceivedMessagesClick(); }); });
    connect(btnDeleteSavedMessages, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnDeleteSavedMessagesClick(); }); });
    // The journal holds this run's messages exactly while they are to be saved.
    connect(cbSaveMessages, &QCheckBox::toggled, this, [this](bool on) { FJournal->Reset(on); });
    // Like the other check boxes, the announcement option acts at once.
    connect(cbAnnounce, &QCheckBox::toggled, this, [this] { UpdateAnnouncement(); });

    FormCreate();
}

void TfMain::CreateTrayMenu() {
    TrayMenu = new QMenu(this);
    TrayMenu->setObjectName("TrayMenu");
    auto item = [this](const char* name, const char* caption, int image) {
        QAction* action = TrayMenu->addAction(caption);
        action->setObjectName(name);
        if (image >= 0) action->setIcon(MenuImage(image));
        return action;
    };
    mnSendMessage = item("mnSendMessage", "&Send a message...", 0);
    mnResendLastMessage = item("mnResendLastMessage", "&Resend last message...", 8);
    mnOpenTalk = item("mnOpenTalk", "Open &Talk window", 4);
    TrayMenu->addSeparator()->setObjectName("N3");
    mnOptions = item("mnOptions", "&Options...", 1);
    mnDisableAlerts = item("mnDisableAlerts", "&Disable alerts && sounds temporally", -1);
    mnDisableAlerts->setCheckable(true);
    mnAutoResponse = item("mnAutoResponse", "&Auto-response incoming messages", -1);
    mnAutoResponse->setCheckable(true);
    mnChangeResponse = item("mnChangeResponse", "C&hange current response...", -1);
    mnChangeResponse->setEnabled(false);
    TrayMenu->addSeparator()->setObjectName("N1");
    mnShowReceivedMessages = item("mnShowReceivedMessages", "Show &received &messages...", 2);
    mnShowSavedMessages = item("mnShowSavedMessages", "Show sa&ved messages...", 6);
    mnShowSessionLog = item("mnShowSessionLog", "Show session &log...", 7);
    mnCloseMessages = item("mnCloseMessages", "&Close all message windows", 5);
    TrayMenu->addSeparator()->setObjectName("N2");
    mnAbout = item("mnAbout", "&About...", -1);
    mnExit = item("mnExit", "E&xit", 3);
    TrayMenu->setDefaultAction(mnSendMessage);

    Bind(mnSendMessage, [this] { mnSendMessageClick(); });
    Bind(mnResendLastMessage, [this] { mnResendLastMessageClick(); });
    Bind(mnOpenTalk, [this] { mnOpenTalkClick(); });
    Bind(mnOptions, [this] { mnOptionsClick(); });
    // A checkable item flips its own mark before the handler runs; the handler
    // owns the mark, so undo the flip first.
    Bind(mnDisableAlerts, [this] {
        mnDisableAlerts->setChecked(!mnDisableAlerts->isChecked());
        mnDisableAlertsClick();
    });
    Bind(mnAutoResponse, [this] {
        mnAutoResponse->setChecked(!mnAutoResponse->isChecked());
        mnAutoResponseClick();
    });
    Bind(mnChangeResponse, [this] { mnChangeResponseClick(); });
    Bind(mnShowReceivedMessages, [this] { mnShowReceivedMessagesClick(); });
    Bind(mnShowSavedMessages, [this] { mnShowSavedMessagesClick(); });
    Bind(mnShowSessionLog, [this] { mnShowSessionLogClick(); });
    Bind(mnCloseMessages, [this] { mnCloseMessagesClick(); });
    Bind(mnAbout, [this] { mnAboutClick(); });
    Bind(mnExit, [this] { mnExitClick(); });
}

void TfMain::FormCreate() {
    SetExceptionHandler([this](QObject* Sender, const Exception& E) { AppException(Sender, E); });
    SetSocketFailureHook(SocketErrorHook);

    NotifyIcon->SetToolTip("Wexlo");
    FUnreadCount = 0;
    FTalkPort = ServerSocket->Port() + 1;
    SetPortTexts(QString::number(ServerSocket->Port()), QString::number(FTalkPort));
    FSender->FSending = false;
    // Beside the executable where it can be written, else in the user's data.
    FSavedMessagesFile = SavedMessagesFile(DirectoryOf(FServices.ExecutablePath));
    FSavedMessages = std::make_unique<TSavedMessages>(FSavedMessagesFile);

    // Entries a run that died left in the journal go where its exit would
    // have put them. A failure is told once the program listens: senders are
    // not refused while the box waits.
    std::exception_ptr recoveryFailure;
    try {
        FJournal->Recover(*FSavedMessages);
    } catch (...) {
        recoveryFailure = std::current_exception();
    }

    Guarded(this, [this] {
        LoadSettings();
        OpenListener();
        UpdateTrayStatus();
        // With the response asked for, the prompt waits here, before the
        // splash; messages are answered meanwhile.
        if (cbEnableAutoResponse->isChecked()) mnAutoResponseClick();
        if (cbShowSplash->isChecked()) ShowSplash();
        FSessionLog.push_back(StartedLine(TimeStamp()));
    });
    if (recoveryFailure) Guarded(this, [&] { std::rethrow_exception(recoveryFailure); });
    // Settings that could not be used are told once the program listens.
    Guarded(this, [this] { FSettings->ReportLoadProblems(); });
}

TfMain::~TfMain() {
    FormDestroy();
    fMain = nullptr;
}

void TfMain::FormDestroy() {
    // Stop taking messages first: every descriptor idle peers hold is given
    // back before the files are written.
    Guarded(this, [this] { ServerSocket->Close(); });
    if (FServices.Discovery) FServices.Discovery->Withdraw();
    Guarded(this, [this] { SaveSettings(); });
    Guarded(this, [this] {
        if (SaveMessagesOn())
            FJournal->SaveOnExit(*FSavedMessages);
        else
            FJournal->Discard();
    });

    // Alert windows and viewers go first, the newest first; each leaves the
    // list of open alerts as it goes.
    while (!FOwnedWindows.empty()) {
        const QPointer<QWidget> window = FOwnedWindows.back();
        FOwnedWindows.pop_back();
        delete window.data();
    }
    delete fSendMessage;

    delete NotifyIcon;
    NotifyIcon = nullptr;
    delete ServerSocket;
    delete ClientSocket;
    ServerSocket = nullptr;
    ClientSocket = nullptr;
    SetSocketFailureHook(nullptr);
    SetExceptionHandler({});
}

// Exceptions that escape event handlers end here. Socket failures go to the
// owner of the socket that failed (the object named as Sender), which reports
// them in its own words; a failure of an attempt in progress never ends or
// retries another. What no owner takes is an unexpected socket error, or
// for any other exception, the standard box.
void TfMain::AppException(QObject* Sender, const Exception& E) {
    if (FFailures.Route(Sender, E)) return;
    if (dynamic_cast<const ESocketError*>(&E) || dynamic_cast<const ERetryOpen*>(&E))
        FSocketErrors->Report(E.Message(), TFailureSource::Own);
    else
        MessageBoxes().Show(nullptr, E.Message(), Caption::AppTitle, TMsgIcon::Error,
                            TMsgButtons::Ok);
}

bool TfMain::RetryArmed() const {
    return FSender->RetryArmed() || (fTalk && fTalk->RetryArmed());
}

// ---- tray menu

void TfMain::mnSendMessageClick() {
    OpenSendDialog(false);
}

void TfMain::mnResendLastMessageClick() {
    if (FSender->FLastMessage.empty()) {
        MessageBoxes().Show(nullptr, "There isn't any previous message.", Caption::AppTitle,
                            TMsgIcon::Information, TMsgButtons::Ok);
        return;
    }
    OpenSendDialog(true);
}

void TfMain::mnOpenTalkClick() {
    if (fTalk) return;
    TTalkServices services;
    services.MessageBoxes = FServices.MessageBoxes;
    services.InputBoxes = FServices.InputBoxes;
    services.SendMessage = [this] { mnSendMessageClick(); };
    services.ReportFailure = [this](const std::string& Message) {
        FSocketErrors->Report(Message, TFailureSource::TalkPort);
    };
    const std::string peer = FRecentHosts.empty() ? std::string() : FRecentHosts.front();
    auto* window = new TfTalk(services, peer, FTalkPort);
    Own(window);
    fTalk = window;
    window->show();
}

void TfMain::mnOptionsClick() {
    if (isVisible()) return;
    show();
    btnOK->setFocus();
}

void TfMain::mnDisableAlertsClick() {
    FAwayModes->mnDisableAlertsClick();
}

void TfMain::mnAutoResponseClick() {
    FAwayModes->mnAutoResponseClick();
}

void TfMain::mnChangeResponseClick() {
    FAwayModes->mnChangeResponseClick();
}

void TfMain::mnShowReceivedMessagesClick() {
    if (FReceivedMessages.empty()) {
        MessageBoxes().Show(nullptr, "No messages has been received.", Caption::AppTitle,
                            TMsgIcon::Information, TMsgButtons::Ok);
        return;
    }
    ShowReceivedViewer();
    FUnreadCount = 0;
    UpdateTrayStatus();
}

void TfMain::mnShowSavedMessagesClick() {
    if (!FSavedMessages->Exists()) {
        MessageBoxes().Show(nullptr, "There aren't saved messages.", Caption::AppTitle,
                            TMsgIcon::Information, TMsgButtons::Ok);
        return;
    }
    TfShowMessage* viewer = NewMessageWindow();
    try {
        viewer->LoadTextFile(QString::fromStdString(FSavedMessagesFile));
        viewer->SetTitle("Saved messages");
        viewer->ShowViewer();
    } catch (...) {
        delete viewer;
        throw;
    }
}

void TfMain::mnShowSessionLogClick() {
    ShowViewer("Session log", FSessionLog);
}

void TfMain::mnCloseMessagesClick() {
    // Each window takes itself off the list as it is destroyed.
    for (std::size_t count = FMessageWindows.size(); count > 0 && !FMessageWindows.empty(); --count)
        delete FMessageWindows.front();
}

void TfMain::mnAboutClick() {
    ShowOwned(new TfAbout());
}

void TfMain::mnExitClick() {
    if (FUnreadCount != 0) {
        const std::string question = "There is " + std::to_string(FUnreadCount) +
                                     " new message(s) unreaded. Do you want to quit anyway?";
        if (MessageBoxes().Show(nullptr, question, Caption::AppTitle, TMsgIcon::Warning,
                                TMsgButtons::YesNo) != TMsgResult::Yes)
            return;
    }
    // Exit waits for the auto-response prompt's answer.
    FAwayModes->AfterPrompt([this] { EndRun(); });
}

void TfMain::EndRun() {
    // Remembered as well as asked: the prompt of start-up is answered before
    // the main loop runs, and an exit asked of no loop is lost.
    FEndAsked = true;
    // exit() rather than quit(): quit() first asks every window to close, which
    // would run the options dialog's Cancel and could be refused by a window.
    QCoreApplication::exit(0);
}

int TfMain::RunLoop() {
    return FEndAsked ? 0 : QCoreApplication::exec();
}

// ---- options dialog

void TfMain::btnOKClick() {
    if (rbUseDefaultResponse->isChecked() && mmResponseMessage->toPlainText().isEmpty()) {
        MessageBoxes().Show(this, "Please write a response message", "Response not specified",
                            TMsgIcon::Warning, TMsgButtons::Ok);
        mmResponseMessage->setFocus();
        return;
    }
    CloseMessageSockets();
    int port = ServerSocket->Port();
    ToInt(edPort->text(), port);
    SetMessagePort(port);
    ToInt(edTalkPort->text(), FTalkPort);
    SaveSettings();
    OpenListener();
    UpdateTrayStatus();
    for (TfShowMessage* window : FMessageWindows) window->SetOnTop(cbAlertsOnTop->isChecked());
    hide();
}

void TfMain::btnCancelClick() {
    hide();
    LoadSettings();
    OpenListener();
}

void TfMain::OpenListener() {
    try {
        ServerSocket->Open();
    } catch (...) {
        UpdateAnnouncement();
        throw;
    }
    UpdateAnnouncement();
}

// Only a copy that listens is announced, on the port it listens on.
void TfMain::UpdateAnnouncement() {
    if (!FServices.Discovery) return;
    if (cbAnnounce->isChecked() && ServerSocket->Active())
        FServices.Discovery->Announce({ComputerName(), ServerSocket->Port(), FTalkPort});
    else
        FServices.Discovery->Withdraw();
}

void TfMain::btnSelectSoundClick() {
    TFileDialogRequest request;
    request.Title = "Select sound";
    request.Filter = "Sound files (*.wav);;All files (*)";
    request.DefaultSuffix = "wav";
    const QString current = edCustomSound->text();
    if (!current.isEmpty()) {
        const QFileInfo info(current);
        // A file path preselects that file in its folder.
        request.InitialDir = info.absoluteFilePath();
    }
    if (auto chosen = FServices.FileDialogs->OpenFileName(this, request))
        edCustomSound->setText(*chosen);
}

void TfMain::btnPlayClick() {
    if (rbDefaultSound->isChecked()) {
        Sound().Beep();
    } else if (!edCustomSound->text().isEmpty()) {
        Sound().PlayFile(GetText(TSettingId::SoundFile));
    }
}

void TfMain::btnDeleteReceivedMessagesClick() {
    if (MessageBoxes().Show(this,
                            "Do you want to delete all the received messages?\r(Saved messages "
                            "will be preserved)",
                            Caption::Confirmation, TMsgIcon::Question,
                            TMsgButtons::YesNo) != TMsgResult::Yes)
        return;
    FReceivedMessages.clear();
    FJournal->Reset(SaveMessagesOn());
}

void TfMain::btnDeleteSavedMessagesClick() {
    if (MessageBoxes().Show(this,
                            "Do you want to delete the saved messages?\r(Received messages will "
                            "be preserved)",
                            Caption::Confirmation, TMsgIcon::Question,
                            TMsgButtons::YesNo) != TMsgResult::Yes)
        return;
    if (!FSavedMessages->Delete())
        MessageBoxes().Show(this, FSavedMessages->DeleteErrorText(), Caption::Error,
                            TMsgIcon::Error, TMsgButtons::Ok);
}

void TfMain::closeEvent(QCloseEvent* Event) {
    // The close box is Cancel; the program ends only through Exit.
    Event->ignore();
    Guarded(this, [this] { btnCancelClick(); });
}

void TfMain::reject() {
    Guarded(this, [this] { btnCancelClick(); });
}

// ---- messages

void TfMain::OpenSendDialog(bool Resend) {
    if (fSendMessage) return;
    TSendDialogEvents events;
    events.SendMessageTo = [this](const std::vector<std::string>& Hosts, const std::string& Text) {
        return SendMessageTo(Hosts, Text);
    };
    events.HasMessageWindows = [this] { return HasMessageWindows(); };
    fSendMessage = new TfSendMessage(MessageBoxes(), std::move(events));
    try {
        fSendMessage->AddHosts(FRecentHosts);
        if (FServices.Discovery)
            fSendMessage->ShowFoundPeers(
                std::make_unique<TFoundPeers>(FServices.Discovery->Browse()),
                [this] { return ServerSocket ? ServerSocket->Port() : 0; });
        if (!FRecentHosts.empty()) fSendMessage->SetHostText(FRecentHosts.front());
        if (Resend) {
            fSendMessage->SetMessageText(FSender->FLastMessage);
            fSendMessage->SetHostText(FSender->FLastHost);
        }
        fSendMessage->show();
    } catch (...) {
        delete fSendMessage;
        fSendMessage = nullptr;
    }
}

bool TfMain::SendMessageTo(const TStringList& Hosts, const std::string& Text) {
    return FSender->SendMessageTo(Hosts, Text);
}

void TfMain::ServerSocketClientRead(QObject* Sender, TSocketConnection* Socket) {
    FReceiver->ServerSocketClientRead(Sender, Socket);
}

void TfMain::ServerSocketClientDisconnect(QObject* Sender, TSocketConnection* Socket) {
    FReceiver->ServerSocketClientDisconnect(Sender, Socket);
}

void TfMain::ClientSocketConnect(QObject* Sender, TSocketConnection* Socket) {
    FSender->ClientSocketConnect(Sender, Socket);
}

void TfMain::ClientSocketDrained(QObject* Sender, TSocketConnection* Socket) {
    FSender->ClientSocketDrained(Sender, Socket);
}

void TfMain::ClientSocketRead(QObject* Sender, TSocketConnection* Socket) {
    FSender->ClientSocketRead(Sender, Socket);
}

void TfMain::ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket) {
    FSender->ClientSocketDisconnect(Sender, Socket);
}

void TfMain::ClientSocketError(QObject* Sender, TSocketConnection* Socket,
                               TSocketErrorKind ErrorEvent, int& ErrorCode) {
    FSender->ClientSocketError(Sender, Socket, ErrorEvent, ErrorCode);
}

// ---- message windows

TfShowMessage* TfMain::NewMessageWindow() {
    auto* window = new TfShowMessage(*FServices.FileDialogs,
                                     [this](TfShowMessage* w) { RemoveMessageWindow(w); });
    FOwnedWindows.push_back(window);
    return window;
}

void TfMain::Own(QWidget* Window) {
    std::erase_if(FOwnedWindows, [](const QPointer<QWidget>& w) { return w.isNull(); });
    FOwnedWindows.push_back(Window);
}

// A window that fails to show is destroyed, not left half made.
void TfMain::ShowOwned(QWidget* Window) {
    Own(Window);
    try {
        Window->show();
    } catch (...) {
        delete Window;
        throw;
    }
}

void TfMain::ShowSplash() {
    ShowOwned(new TfSplash());
}

void TfMain::ShowViewer(const std::string& Title, const TStringList& Lines) {
    TfShowMessage* viewer = NewMessageWindow();
    try {
        viewer->AddLines(Lines);
        viewer->SetTitle(Title);
        viewer->ShowViewer();
    } catch (...) {
        delete viewer;
        throw;
    }
}

// The received messages may be far larger than memory allows: the viewer
// shows them from a private file of their text, which it maps rather than
// reads, so the kernel pages in only what is looked at.
void TfMain::ShowReceivedViewer() {
    const std::string dir = DirectoryOf(FReceivedMessages.SpillFile().empty()
                                            ? TReceivedList::DefaultSpillPath()
                                            : FReceivedMessages.SpillFile());
    const TReceivedText text(FReceivedMessages, dir);
    TfShowMessage* viewer = NewMessageWindow();
    try {
        if (!viewer->redMessage->SetMappedFile(text.Fd())) throw Exception(text.FailureText());
        viewer->SetTitle("Received messages");
        viewer->ShowViewer();
    } catch (...) {
        delete viewer;
        throw;
    }
}

void TfMain::ShowAlert(const std::string& Title, const std::string& Text, bool OnTop,
                       bool AutoResponseSent) {
    TfShowMessage* window = NewMessageWindow();
    try {
        FMessageWindows.push_back(window);
        window->SetTitle(Title);
        window->SetText(Text);
        window->ShowAlert(OnTop, AutoResponseSent);
    } catch (...) {
        delete window;
        throw;
    }
    AlertsChanged();
}

void TfMain::RemoveMessageWindow(TfShowMessage* Window) {
    const std::size_t alerts = FMessageWindows.size();
    std::erase(FMessageWindows, Window);
    std::erase_if(FOwnedWindows, [Window](const QPointer<QWidget>& w) {
        return w.isNull() || w.data() == Window;
    });
    if (FMessageWindows.size() != alerts) AlertsChanged();
}

void TfMain::AlertsChanged() {
    // The send dialog stays above while alerts are open; it is not repainted
    // just because one opened or closed.
    if (fSendMessage) fSendMessage->UpdateStacking();
}

// ---- records and tray

TArrivalOptions TfMain::ArrivalOptions() {
    TArrivalOptions options;
    options.BeepOnMessage = cbBeepOnMessage->isChecked();
    options.DefaultSound = rbDefaultSound->isChecked();
    options.CustomSound = GetText(TSettingId::SoundFile);
    // Past the cap a message is handled as with the alert option off.
    options.AlertOnMessage = cbAlertOnMessage->isChecked() &&
                             FMessageWindows.size() < MaxAlertWindows &&
                             AlertsCost() < FServices.AlertBudget;
    options.AlertsOnTop = cbAlertsOnTop->isChecked();
    options.DisableAlerts = mnDisableAlerts->isChecked();
    options.AutoResponse = mnAutoResponse->isChecked();
    return options;
}

std::size_t TfMain::AlertsCost() const {
    std::size_t cost = 0;
    for (const TfShowMessage* window : FMessageWindows) cost += window->redMessage->MemoryCost();
    return cost;
}

bool TfMain::SaveMessagesOn() const {
    return cbSaveMessages->isChecked();
}

void TfMain::RecordReceived(const TStringList& Entry) {
    FReceivedMessages.Append(Entry);
    if (SaveMessagesOn()) FJournal->Append(Entry);
}

void TfMain::CountUnread() {
    ++FUnreadCount;
    UpdateTrayStatus();
}

void TfMain::SetRecentHosts(const TStringList& Hosts) {
    FRecentHosts = Hosts;
}

void TfMain::AddSessionLog(const TStringList& Entry) {
    Append(FSessionLog, Entry);
}

void TfMain::TrayConnecting(const std::string& Host) {
    FTrayStatus->StartConnecting(Host);
}

void TfMain::TraySent(const std::string& PeerName, const std::string& PeerAddress) {
    FTrayStatus->MessageSent(PeerName, PeerAddress);
}

void TfMain::TrayRecipientAlertsOff(const std::string& PeerName, const std::string& PeerAddress) {
    FTrayStatus->RecipientAlertsOff(PeerName, PeerAddress);
}

void TfMain::TraySendFailed() {
    FTrayStatus->SendFailed();
}

void TfMain::UpdateTrayStatus() {
    FTrayStatus->UpdateTrayStatus();
}

void TfMain::ShowTrayImage(int Index) {
    if (NotifyIcon) NotifyIcon->SetIcon(TrayImage(Index));
}

void TfMain::ShowTrayHint(const std::string& Hint) {
    if (NotifyIcon) NotifyIcon->SetToolTip(DecodeForLine(Hint));
}

// ---- settings

void TfMain::LoadSettings() {
    FSettings->LoadSettings();
}

void TfMain::SaveSettings() {
    FSettings->SaveSettings();
}

// A check box or radio button setting: the control its row names. The text
// controls are made late and answer through the form's texts instead.
static QAbstractButton* BoolControl(const TOptionsForm& Form, TSettingId Id) {
    const std::string_view name = SettingDef(Id).Control;
    return Form.findChild<QAbstractButton*>(QLatin1String(name.data(), qsizetype(name.size())));
}

bool TfMain::GetBool(TSettingId Id) const {
    const QAbstractButton* control = BoolControl(*this, Id);
    return control && control->isChecked();
}

void TfMain::SetBool(TSettingId Id, bool Value) {
    if (QAbstractButton* control = BoolControl(*this, Id)) {
        // Unchecking a radio button leaves its partner as it is, so the
        // toolkit's exclusive group must not step in.
        const bool exclusive = control->autoExclusive();
        if (!Value) control->setAutoExclusive(false);
        control->setChecked(Value);
        control->setAutoExclusive(exclusive);
    }
}

// The screen cannot show every stored byte as it is (a Latin-1 file name, a
// control character). While the user leaves a loaded text alone, the bytes it
// came from are what the program uses and saves back.
std::string TfMain::GetText(TSettingId Id) const {
    if (Id == TSettingId::SoundFile) {
        const QString shown = SoundFileText();
        return shown == FLoadedSoundFile.Shown ? FLoadedSoundFile.Bytes : EncodeTyped(shown);
    }
    if (Id == TSettingId::ResponseMessage) {
        const QString shown = ResponseText();
        return shown == FLoadedResponse.Shown ? FLoadedResponse.Bytes : MemoText(shown);
    }
    return {};
}

void TfMain::SetText(TSettingId Id, const std::string& Value) {
    if (Id == TSettingId::SoundFile) {
        SetSoundFileText(DecodeForLine(Value));
        FLoadedSoundFile = {Value, SoundFileText()};
    }
    if (Id == TSettingId::ResponseMessage) {
        SetResponseText(MemoShown(Value));
        FLoadedResponse = {Value, ResponseText()};
    }
}

void TfMain::TextControlsMade() {
    // The controls may show a kept text a little differently (a memo turns
    // some separators into line breaks); as long as nobody edits them they
    // still stand for the bytes loaded, which only SetText puts there.
    FLoadedSoundFile.Shown = SoundFileText();
    FLoadedResponse.Shown = ResponseText();
}

int TfMain::MessagePort() const {
    return ServerSocket->Port();
}

void TfMain::SetMessagePort(int Port) {
    ServerSocket->SetPort(Port);
    ClientSocket->SetPort(ServerSocket->Port());
}

void TfMain::CloseMessageSockets() {
    ServerSocket->Close();
    ClientSocket->Close();
}

void TfMain::SetPortEditTexts(const std::string& Port, const std::string& TalkPort) {
    SetPortTexts(QString::fromStdString(Port), QString::fromStdString(TalkPort));
}
