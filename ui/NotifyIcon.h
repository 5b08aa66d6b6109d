#pragma once

#include <functional>
#include <memory>

#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;

// What the control hands to the desktop with each add or modify.
struct TNotifyIconData {
    QIcon Icon;
    QString Tip;  // already cut to the limit
    // The popup menu, for trays that draw the menu themselves (a tray on the
    // desktop bus); the control still pops it up on WM_RBUTTONUP.
    QMenu* Menu = nullptr;
};

// Mouse activity reported back by the desktop, numbered like the classic
// shell callback so one table maps them to events.
enum TTrayMouseMessage : int {
    WM_MOUSEMOVE = 512,
    WM_LBUTTONDOWN = 513,
    WM_LBUTTONUP = 514,
    WM_LBUTTONDBLCLK = 515,
    WM_RBUTTONDOWN = 516,
    WM_RBUTTONUP = 517,
};

// The desktop side of a tray icon: the notification area, or anything that
// stands in for it. Add, Modify and Delete report whether the desktop took
// the call; Callback receives the mouse messages.
class ITrayShell {
public:
    virtual ~ITrayShell() = default;
    virtual bool Add(const TNotifyIconData& Data) = 0;
    virtual bool Modify(const TNotifyIconData& Data) = 0;
    virtual bool Delete() = 0;

    std::function<void(int MouseMessage)> Callback;
};

// The caption to give Qt for a menu item it exports to a tray on the desktop
// bus, so that the tray's label reads as Caption does on the screen. Qt turns
// only the first '&' into the bus's access-key mark '_' and passes the rest
// on, while on the screen "&&" is one '&'; the bus marks one access key only.
QString BusMenuCaption(const QString& Caption);

class TBusMenuCaptions;

// QSystemTrayIcon as a shell. The Qt icon is created at the first Add and
// dropped at Delete, so it is only made once a notification area is known to
// exist (Qt picks its tray route, desktop bus or X11 embedding, at creation).
// The menu is handed to Qt before the icon shows: a tray on the desktop bus
// reads it when the icon registers, and draws it itself.
class TSystemTrayShell : public QObject, public ITrayShell {
public:
    explicit TSystemTrayShell(QObject* Parent = nullptr);
    ~TSystemTrayShell() override;

    bool Add(const TNotifyIconData& Data) override;
    bool Modify(const TNotifyIconData& Data) override;
    bool Delete() override;

    QSystemTrayIcon* TrayIcon() const { return FTray; }

    // Whether the icon is shown by a tray on the desktop bus
    // (StatusNotifierItem) rather than docked into an X11 tray. Such a tray
    // reports a click as one activation and never a double click, so there
    // one activation is the double click.
    bool OnDesktopBus() const;

private:
    void Activated(int Reason);
    void Apply(const TNotifyIconData& Data);

    QSystemTrayIcon* FTray = nullptr;
    std::unique_ptr<TBusMenuCaptions> FBusCaptions;
};

// Qt tooltips render anything that looks like markup as rich text; peer names
// end up in the tooltip, so break whatever would make it look like markup.
// The visible text stays the same.
QString PlainTrayText(const QString& Text);

using TNotifyEvent = std::function<void(QObject* Sender)>;

// One icon with a tooltip in the notification area, its mouse activity turned
// into events, and a popup menu on right click (unless the tray opened it
// already). Without a notification area it
// keeps its state and does nothing visible (the default shell then shows the
// status window where allowed, see StatusWindow.h).
class TNotifyIcon : public QObject {
public:
    static constexpr int MaxTipLength = 63;

    // Shell: where the icon goes; by default the desktop (TDesktopTrayShell).
    explicit TNotifyIcon(QObject* Owner = nullptr, std::unique_ptr<ITrayShell> Shell = nullptr);
    ~TNotifyIcon() override;

    bool Visible() const { return FVisible; }
    void SetVisible(bool Value);

    // The control keeps its own copy; the caller's icon is not tracked.
    const QIcon& Icon() const { return FIcon; }
    void SetIcon(const QIcon& Value);

    // Only the first MaxTipLength characters reach the desktop.
    const QString& ToolTip() const { return FToolTip; }
    void SetToolTip(const QString& Value);

    // Not owned and not tracked: the menu must outlive the control.
    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* Value) { FPopupMenu = Value; }

    TNotifyEvent OnClick;       // left button pressed on the icon
    TNotifyEvent OnRightClick;  // right button released, after the menu was shown
    TNotifyEvent OnDblClick;    // left button double-clicked
    // Kept for completeness; never fires: Qt reports no pointer motion over a
    // tray icon, and the status window does not report it either.
    TNotifyEvent OnMouseMove;

    ITrayShell& Shell() const { return *FShell; }

private:
    bool AddTrayIcon();
    bool UpdateTrayIcon();
    bool RemoveTrayIcon();
    void ShowPopupMenu();
    void TrayCallback(int MouseMessage);
    void FillIconData();

    std::unique_ptr<ITrayShell> FShell;
    bool FVisible = false;
    QIcon FIcon;
    QString FToolTip;
    QMenu* FPopupMenu = nullptr;
    TNotifyIconData FIconData;
};
