#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QWidget>

#include "ui/NotifyIcon.h"

class QLabel;
class QToolButton;
class QDBusServiceWatcher;

enum class TTrayPresence { Unknown, Absent, Present };

// Tells whether the desktop has a notification area right now, and when that
// changes. Unknown only while the first answer is still on its way.
class ITrayPresence {
public:
    virtual ~ITrayPresence() = default;
    virtual TTrayPresence Presence() const = 0;
    std::function<void()> OnChange;
};

// Watches for notification areas without polling: a StatusNotifier host on
// the desktop bus (org.kde.StatusNotifierWatcher), and under X11 the owner of
// the _NET_SYSTEM_TRAY_S<n> selection (its MANAGER announcement on the root
// window and the destruction of its window). Before reporting Present it asks
// Qt whether its tray icon can actually be shown there.
class TTrayWatcher : public QObject, public ITrayPresence, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit TTrayWatcher(QObject* Parent = nullptr);
    ~TTrayWatcher() override;

    TTrayPresence Presence() const override { return FPresence; }

    bool nativeEventFilter(const QByteArray& EventType, void* Message, qintptr* Result) override;

private Q_SLOTS:
    // Desktop bus signals of the StatusNotifier watcher.
    void StatusNotifierHostChanged();

private:
    void WatchDesktopBus();
    void AskStatusNotifierHost();
    void WatchX11();
    void WatchWindow(uint32_t Window);
    bool XEmbedTrayExists();
    void RecheckSoon();
    void Recheck();

    TTrayPresence FPresence = TTrayPresence::Unknown;
    TTrayPresence FStatusNotifier = TTrayPresence::Absent;
    QDBusServiceWatcher* FBusWatcher = nullptr;
    quint64 FBusQuestion = 0;
    bool FRecheckPending = false;

    void* FConnection = nullptr;  // xcb_connection_t*, null off X11
    uint32_t FRoot = 0;
    uint32_t FSelectionAtom = 0;
    uint32_t FManagerAtom = 0;
    uint32_t FManagerWindow = 0;
};

// The program's own small window that stands in for the tray icon on a desktop
// without a notification area: the tray image, the tooltip text, and the same
// gestures (right click or the Menu button for the menu, double click as on
// the icon). Closing it only minimizes it; the menu's Exit quits.
class TStatusWindow : public QWidget, public ITrayShell {
public:
    explicit TStatusWindow(QWidget* Parent = nullptr);

    bool Add(const TNotifyIconData& Data) override;
    bool Modify(const TNotifyIconData& Data) override;
    bool Delete() override;

    const QString& ShownTip() const { return FData.Tip; }
    QLabel* HintLabel() const { return lblHint; }
    QToolButton* MenuButton() const { return btnMenu; }

protected:
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void Show(const TNotifyIconData& Data);
    void Send(int MouseMessage);

    TNotifyIconData FData;
    bool FShown = false;
    QLabel* imgStatus;
    QLabel* lblHint;
    QToolButton* btnMenu;
};

// The default desktop shell of TNotifyIcon: the notification area while one
// exists, otherwise (where allowed) the status window, moving between the two
// as areas come and go.
class TDesktopTrayShell : public QObject, public ITrayShell {
public:
    // Null arguments take the real watcher and QSystemTrayIcon.
    explicit TDesktopTrayShell(std::unique_ptr<ITrayPresence> Presence = nullptr,
                               std::unique_ptr<ITrayShell> Tray = nullptr);
    ~TDesktopTrayShell() override;

    bool Add(const TNotifyIconData& Data) override;
    bool Modify(const TNotifyIconData& Data) override;
    bool Delete() override;

    // The desktop shell of an icon made with the default shell, else null.
    static TDesktopTrayShell* Of(const TNotifyIcon& Icon) {
        return dynamic_cast<TDesktopTrayShell*>(&Icon.Shell());
    }

    // Whether the status window may show. By default it may, except on the
    // offscreen and minimal platforms, where nobody could see it.
    static bool FallbackAllowedByDefault();
    bool FallbackAllowed() const { return FFallbackAllowed; }
    void SetFallbackAllowed(bool Value);

    enum class TPlace { None, Tray, Window };
    TPlace Place() const { return FPlace; }
    TStatusWindow* StatusWindow() const { return FWindow.get(); }  // null until first needed
    ITrayPresence& Presence() const { return *FPresence; }

private:
    void Route();

    std::unique_ptr<ITrayPresence> FPresence;
    std::unique_ptr<ITrayShell> FTray;
    std::unique_ptr<TStatusWindow> FWindow;
    bool FFallbackAllowed;
    bool FAdded = false;
    TNotifyIconData FData;
    TPlace FPlace = TPlace::None;
};
