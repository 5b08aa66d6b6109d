#pragma once

#include <functional>

#include <QDialog>
#include <QUrl>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// Opens an address with the desktop's handler for it; false when it could not.
using TOpenUrl = std::function<bool(const QUrl& Url)>;

// The About window: name, version, maker line, the maker's two addresses as
// links, and the terms. Each one is a window of its own that is destroyed
// when closed (OK, Enter, Esc or the close box).
class TfAbout : public QDialog {
    Q_OBJECT
public:
    // OpenUrl defaults to the desktop's default handler.
    explicit TfAbout(TOpenUrl OpenUrl = {}, QWidget* Parent = nullptr);

    // Layout for an 8-point font; a larger font scales it up.
    static constexpr int ClientWidth = 392;
    static constexpr int ClientHeight = 308;

    QFrame* Cuadro;
    QLabel* imgIcon;
    QLabel* lblName;
    QLabel* lblVersion;
    QLabel* lblAuthor;
    QLabel* lblEmail;
    QLineEdit* edEmail;
    QLabel* lblWWW;
    QLineEdit* edWWW;
    QLabel* lblSendEMail;
    QLabel* lblInfo;
    QLabel* lblResponsibility;
    QPushButton* btnAceptar;

    void btnAceptarClick();
    void edEmailClick();
    void edWWWClick();

protected:
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void accept() override;
    void reject() override;

private:
    TOpenUrl FOpenUrl;
};
