#pragma once

#include <string>

#include <QDialog>

class QEventLoop;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The small window that asks for the away text. OK (or Ctrl+Enter in the
// text) is the only way out: no close box, no Cancel, Esc does nothing, and
// any text is accepted, an empty one too.
class TfAutoResponse : public QDialog {
    Q_OBJECT
public:
    explicit TfAutoResponse(QWidget* Parent = nullptr);
    ~TfAutoResponse() override;

    // Layout for an 8-point font; a larger font scales it up.
    static constexpr int ClientWidth = 442;
    static constexpr int ClientHeight = 128;

    // Shows the prompt (not modally) with Initial selected, so typing replaces
    // it, and handles the program's events until it is answered: messages are
    // received and answered meanwhile, timers tick, the tray menu works.
    // Returns the text as it then stands, lines joined by CR LF; Initial's
    // bytes as they were when the user left it unchanged. The window stays
    // open for its creator to release.
    std::string AskResponse(const std::string& Initial);

    // Ends the wait with the text as it stands, as OK does. For a program
    // that must end now (a signal, the end of the session).
    void EndWait();

    bool Waiting() const { return FLoop != nullptr; }
    bool Answered() const { return FAnswered; }

    QLabel* lblResponse;
    QPlainTextEdit* mmMessage;
    QPushButton* btnOK;

    void btnOKClick();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void reject() override;

private:
    bool mmMessageKeyDown(QKeyEvent* Key);
    std::string Text() const;

    bool FAnswered = false;
    QEventLoop* FLoop = nullptr;
    std::string FInitial;  // as given, and as the memo showed it
    QString FInitialShown;
};
