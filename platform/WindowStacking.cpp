#include "platform/WindowStacking.h"

#include <QApplication>
#include <QEvent>

bool AnyWindowKeepsAbove(const QWidget* Except) {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget* window : windows)
        if (window != Except && window->isVisible() && KeepsAbove(window)) return true;
    return false;
}

namespace {
// Marks a window that a TModalAbove keeps above.
const char* const KeptAboveMark = "wexloKeptAbove";
}  // namespace

TModalAbove::TModalAbove(QWidget* Modal) : FModal(Modal) {
    Modal->setProperty(KeptAboveMark, true);
    if (AnyWindowKeepsAbove(Modal)) SetKeepAbove(Modal, true);
    qApp->installEventFilter(this);
}

bool TModalAbove::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() != QEvent::Show || !FModal || !Watched->isWidgetType()) return false;
    auto* shown = static_cast<QWidget*>(Watched);
    // A modal window or a box opened meanwhile (a box over this one, the
    // question of a file dialog) belongs above this one.
    if (shown == FModal || !shown->isWindow() || shown->isModal() ||
        shown->property(KeptAboveMark).toBool() || FModal->isAncestorOf(shown) ||
        !KeepsAbove(shown))
        return false;
    // The show event comes before the window is mapped: raise once it is.
    // Among keep-above windows the last raised is on top.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!FModal) return;
            SetKeepAbove(FModal, true);
            FModal->raise();
        },
        Qt::QueuedConnection);
    return false;
}
