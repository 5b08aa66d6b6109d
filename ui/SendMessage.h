#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class IMessageBoxService;
class TFoundPeers;

// What the send dialog needs from the main form.
struct TSendDialogEvents {
    // Starts sending Text to the first of Hosts (the whole list becomes the
    // recent hosts). False: refused because another send is still connecting.
    std::function<bool(const std::vector<std::string>& Hosts, const std::string& Text)>
        SendMessageTo;
    // True while at least one alert window is open.
    std::function<bool()> HasMessageWindows;
};

// The modeless window in which the user writes a message and picks the
// computer it goes to. An independent top-level window (own taskbar entry),
// destroyed when closed. Host names and the text are bytes to the rest of the
// program.
class TfSendMessage : public QWidget {
    Q_OBJECT
public:
    TfSendMessage(IMessageBoxService& MessageBoxes, TSendDialogEvents Events);
    ~TfSendMessage() override;

    // Appends entries to the host list (the recent hosts, target first).
    void AddHosts(const std::vector<std::string>& Hosts);
    // The recent hosts as the list holds them now, without the found copies.
    std::vector<std::string> Hosts() const;

    // Offers the copies Peers finds on the network after the recent hosts,
    // kept current while the dialog is open. OwnPort is the message port a
    // send dials. A found copy is chosen exactly as a typed name; it never
    // becomes a recent host unless a message is sent to it.
    void ShowFoundPeers(std::unique_ptr<TFoundPeers> Peers, std::function<int()> OwnPort);
    // Replaces the found copies offered; names equal to a recent host (letter
    // case aside) are not offered twice.
    void SetFoundHosts(const std::vector<std::string>& Names);
    void SetHostText(const std::string& Host);
    std::string HostText() const;
    void SetMessageText(const std::string& Text);
    // The memo's text: lines joined by CR LF as typed, none after the last.
    std::string MessageText() const;

    // Keeps the window above others while alert windows are open; called at
    // show and on repaint, and by the main form when its alert list changes.
    void UpdateStacking();

    QLabel* lblHost;
    QComboBox* cmbHost;
    QToolButton* btnClearAddress;
    QPushButton* btnSend;
    QPushButton* btnCancel;
    QLabel* lblMessage;
    QPlainTextEdit* mmMessage;

    void btnSendClick();
    void btnCancelClick();
    void btnClearAddressClick();

    void setVisible(bool Visible) override;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    // Ctrl+Enter sends and Esc cancels, in the host field and in the memo.
    bool mmMessageKeyDown(QKeyEvent* Event);

    bool IsFound(int Index) const;
    int RecentCount() const;

    IMessageBoxService& FMessageBoxes;
    TSendDialogEvents FEvents;
    std::unique_ptr<TFoundPeers> FFoundPeers;
};

// The open send dialog, or null. Set by the main form when it opens one;
// cleared when the dialog is destroyed.
extern TfSendMessage* fSendMessage;
