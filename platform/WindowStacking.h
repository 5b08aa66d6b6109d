#pragma once

#include <QWidget>
#include <QWindow>

// Sets or clears the window manager's keep-above state of a top-level window,
// keeping its place and size. On a window that already has its platform
// window only that window's flags change (on X11 an EWMH _NET_WM_STATE_ABOVE
// request): QWidget::setWindowFlag would re-create it, hiding and showing it
// again, which flickers and may let the window manager place it anew.
inline void SetKeepAbove(QWidget* Window, bool Above) {
    Qt::WindowFlags flags = Window->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, Above);
    if (flags == Window->windowFlags()) return;
    if (QWindow* handle = Window->windowHandle()) {
        Window->overrideWindowFlags(flags);
        handle->setFlags(flags);
    } else {
        Window->setWindowFlags(flags);
    }
}

inline bool KeepsAbove(const QWidget* Window) {
    return Window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}
