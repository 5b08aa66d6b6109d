#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <QTextEdit>
#include <QWidget>

#include "talk/TalkSession.h"

class IInputBoxService;
class IMessageBoxService;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QToolButton;

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

// The Talk window: panes, field and buttons over a talk session
// (talk/TalkSession.h), which listens from the moment the window opens. An
// independent top-level window, destroyed (deferred) when closed.
class TfTalk : public QWidget, private ITalkView {
    Q_OBJECT
public:
    // Listens on Port at once; a failure to do so is reported through the
    // application's handler and the window opens anyway, not listening.
    TfTalk(const TTalkServices& Services, const std::string& InitialHost, int Port);
    ~TfTalk() override;

    // The session's, for the application's handler (see TTalkSession).
    bool HandleFailure(QObject* Sender, const Exception& E, bool Retry);
    bool RetryArmed() const;

    TTalkSession& Session() const { return *FSession; }

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

    // The state text of the status bar (hints show over it for a while).
    QString StatusText() const;

    void btnConnectClick();
    void btnDisconnetClick();
    // Key is a typed character; true when it was consumed.
    bool edSendTextKeyPress(int Key);
    void btnSendMessageClick();
    void btnClearReceivedClick();
    void btnClearSentClick();
    void btnExitClick();

    // Text and a line break in bold, so an empty line follows it.
    void AddStatusLine(const std::string& Text, TTalkPane* Pane);

protected:
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void FormCreate();

    void ShowReceivedLine(std::string_view Bytes, bool Bold) override;
    void ShowStatus(const std::string& Text) override;
    void SessionOpened() override;
    void ShowError(const std::string& Text, const std::string& Caption) override;
    void ReportPortFailure(const std::string& Message) override;

    TTalkServices FServices;
    QLabel* FStatusText;
    std::unique_ptr<TTalkSession> FSession;
};

// The one talk window, or null; cleared when the window closes.
extern TfTalk* fTalk;
