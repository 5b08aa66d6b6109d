#pragma once

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
