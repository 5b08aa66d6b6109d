#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class TFileDialogs;
class TTextViewer;

class TfShowMessage;
// Told when a message window is destroyed, with the window (the main form's
// RemoveMessageWindow). Only the address may be used: the window is going.
using TMessageWindowEvent = std::function<void(TfShowMessage* Window)>;

// The window that shows every text the program puts in front of the user:
// alerts for incoming messages and auto-responses, and the viewers of the
// records. An independent top-level window (no parent widget, so it has its
// own taskbar entry) that is destroyed when it is closed. Texts are bytes and
// are shown as plain text.
class TfShowMessage : public QWidget {
    Q_OBJECT
public:
    explicit TfShowMessage(TFileDialogs& FileDialogs, TMessageWindowEvent OnDestroy = {});
    ~TfShowMessage() override;

    // Caption "Wexlo  -  " followed by Text.
    void SetTitle(const std::string& Text);
    // Replaces the content; lines end at CR, LF or CR LF; a NUL ends the text.
    void SetText(const std::string& Text);
    // Appends every item as one or more lines; a NUL ends that item.
    void AddLines(const std::vector<std::string>& List);
    // Replaces the content with the lines of a file, every byte shown. Throws
    // Exception "Cannot open file %s".
    void LoadTextFile(const QString& FileName);
    // Alert: no Save controls, the auto-response label when asked, kept above
    // other windows when OnTop. Shown, not modally.
    void ShowAlert(bool OnTop, bool AutoResponseSent);
    // Viewer: Save controls, not kept above.
    void ShowViewer();
    // Keeps an open (or yet unshown) window above other windows or stops
    // doing so, without moving or resizing it.
    void SetOnTop(bool OnTop);
    bool OnTop() const { return FOnTop; }

    TTextViewer* redMessage;
    QCheckBox* cbSaveSelection;
    QPushButton* btnOK;
    QPushButton* btnSave;
    QLabel* lblAutoResponse;

    void btnOKClick();
    // Asks for a file and writes the text (or the selection) to it; throws
    // Exception "Cannot create file %s" when it cannot be written.
    void btnSaveClick();

protected:
    void keyPressEvent(QKeyEvent* Event) override;

private:
    TFileDialogs& FFileDialogs;
    TMessageWindowEvent FOnDestroy;
    bool FOnTop = false;
};
