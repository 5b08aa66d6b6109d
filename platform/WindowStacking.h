#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <QWindow>

// Sets or clears the window manager's keep-above state of a top-level window,
// keeping its place and size. On a shown window only the platform window's
// flags change (on X11 an EWMH _NET_WM_STATE_ABOVE request): QWidget's
// setWindowFlags would hide it and create it anew, which flickers and may let
// the window manager place it elsewhere. A hidden window takes the new flags
// the ordinary way, so that they are in place before it is mapped.
inline void SetKeepAbove(QWidget* Window, bool Above) {
    Qt::WindowFlags flags = Window->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, Above);
    if (flags == Window->windowFlags()) return;
    QWindow* handle = Window->windowHandle();
    if (Window->isVisible() && handle) {
        Window->overrideWindowFlags(flags);
        handle->setFlags(flags);
    } else {
        Window->setWindowFlags(flags);
    }
}

inline bool KeepsAbove(const QWidget* Window) {
    return Window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

// True while a shown window of the program other than Except keeps above.
bool AnyWindowKeepsAbove(const QWidget* Except = nullptr);

// Keeps a waiting window (a message box, a file dialog) above the program's
// keep-above windows for as long as this object lives. Made before the window
// is shown: it keeps above too when such a window is open, and it is raised
// again over one that opens meanwhile (an alert arriving while a box waits;
// not another modal window or box, which belongs above it). A modal window
// hidden behind an on-top alert would leave the user with a program that
// ignores every click, and a box hidden there is easily missed.
class TModalAbove : public QObject {
public:
    explicit TModalAbove(QWidget* Modal);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QPointer<QWidget> FModal;
};
