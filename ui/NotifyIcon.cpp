#include "ui/NotifyIcon.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/Exceptions.h"
#include "ui/StatusWindow.h"

QString PlainTrayText(const QString& Text) {
    // Qt takes a first line with a known tag or an "&lt;" for markup; a zero
    // width space after each '<' and '&' makes neither recognisable.
    QString plain;
    plain.reserve(Text.size() + 8);
    for (const QChar c : Text) {
        plain += c;
        if (c == u'<' || c == u'&') plain += QChar(0x200B);
    }
    return plain;
}

QString BusMenuCaption(const QString& Caption) {
    QString out;
    out.reserve(Caption.size() + 2);
    bool ampersand = false;  // out holds an '&' already: Qt converts only the first
    for (qsizetype i = 0; i < Caption.size(); ++i) {
        const QChar c = Caption[i];
        if (c == u'_') {
            out += QStringLiteral("__");  // one literal '_' on the bus
        } else if (c != u'&' || i + 1 == Caption.size()) {
            out += c;
        } else if (Caption[i + 1] == u'&') {
            // A literal '&'. As the first one Qt would make it the access-key
            // mark, so mark it ("_&"): it then shows as itself.
            out += ampersand ? QStringLiteral("&") : QStringLiteral("&&");
            ampersand = true;
            ++i;
        } else if (!ampersand) {
            out += u'&';  // the access key; further ones cannot be marked there
            ampersand = true;
        }
    }
    return out;
}

// While the menu is exported to a tray on the desktop bus, its items carry the
// captions that come out right there; when the program itself pops the menu
// up on the screen, they have their own captions back until it closes.
class TBusMenuCaptions : public QObject {
public:
    explicit TBusMenuCaptions(QMenu* Menu) : FMenu(Menu) {
        for (QAction* action : Menu->actions())
            if (!action->isSeparator()) FCaptions.push_back({action, action->text()});
        // After the event: the menu may still count as visible while it says
        // it is about to hide.
        connect(Menu, &QMenu::aboutToHide, this,
                [this] { QTimer::singleShot(0, this, [this] { ForBus(); }); });
        ForBus();
    }
    ~TBusMenuCaptions() override { ForScreen(); }

    void ForScreen() {
        for (const auto& [action, caption] : FCaptions)
            if (action) action->setText(caption);
    }

    void ForBus() {
        if (FMenu && FMenu->isVisible()) return;  // on the screen now
        for (const auto& [action, caption] : FCaptions)
            if (action) action->setText(BusMenuCaption(caption));
    }

    QMenu* Menu() const { return FMenu; }

private:
    QPointer<QMenu> FMenu;
    std::vector<std::pair<QPointer<QAction>, QString>> FCaptions;
};

TSystemTrayShell::TSystemTrayShell(QObject* Parent) : QObject(Parent) {}

TSystemTrayShell::~TSystemTrayShell() {
    Delete();
}

bool TSystemTrayShell::Add(const TNotifyIconData& Data) {
    if (!FTray) {
        FTray = new QSystemTrayIcon(this);
        connect(FTray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
    }
    Apply(Data);
    FTray->show();
    FBusCaptions.reset();
    if (Data.Menu && OnDesktopBus()) FBusCaptions = std::make_unique<TBusMenuCaptions>(Data.Menu);
    return FTray->isVisible();
}

bool TSystemTrayShell::Modify(const TNotifyIconData& Data) {
    if (!FTray) return false;
    if (FBusCaptions && FBusCaptions->Menu() != Data.Menu) FBusCaptions.reset();
    Apply(Data);
    return true;
}

void TSystemTrayShell::Apply(const TNotifyIconData& Data) {
    FTray->setIcon(Data.Icon);
    FTray->setToolTip(PlainTrayText(Data.Tip));
    // Exported anew on every call: only when it really changes.
    if (FTray->contextMenu() != Data.Menu) FTray->setContextMenu(Data.Menu);
}

bool TSystemTrayShell::OnDesktopBus() const {
    if (!FTray || !FTray->isVisible()) return false;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return false;  // no tray of any kind there
    // Qt docks an icon into an X11 tray as a window of its own; on the bus
    // there is none.
    for (const QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("QSystemTrayIconSys")) return false;
    return true;
}

bool TSystemTrayShell::Delete() {
    FBusCaptions.reset();
    if (!FTray) return false;
    FTray->hide();
    FTray->disconnect(this);
    // Delete may be reached from the icon's own activation signal.
    FTray->deleteLater();
    FTray = nullptr;
    return true;
}

void TSystemTrayShell::Activated(int Reason) {
    if (!Callback) return;
    switch (Reason) {
        case QSystemTrayIcon::Trigger: {
            const bool doubleClick = OnDesktopBus();
            Callback(WM_LBUTTONDOWN);
            if (doubleClick && Callback) Callback(WM_LBUTTONDBLCLK);
            break;
        }
        case QSystemTrayIcon::DoubleClick:
            Callback(WM_LBUTTONDBLCLK);
            break;
        case QSystemTrayIcon::Context:
            // The tray asks us to show the menu (a tray on the bus that does
            // not draw menus): with the captions as the screen shows them.
            if (FBusCaptions) FBusCaptions->ForScreen();
            Callback(WM_RBUTTONUP);
            if (FBusCaptions) FBusCaptions->ForBus();
            break;
        default:
            break;
    }
}

TNotifyIcon::TNotifyIcon(QObject* Owner, std::unique_ptr<ITrayShell> Shell)
    : QObject(Owner), FShell(std::move(Shell)) {
    if (!FShell) FShell = std::make_unique<TDesktopTrayShell>();
    FShell->Callback = [this](int message) { TrayCallback(message); };
}

TNotifyIcon::~TNotifyIcon() {
    if (FVisible) RemoveTrayIcon();
    FShell->Callback = nullptr;
}

void TNotifyIcon::SetVisible(bool Value) {
    if (Value == FVisible) return;
    if (FVisible)
        RemoveTrayIcon();
    else
        AddTrayIcon();
    FVisible = Value;
}

void TNotifyIcon::SetIcon(const QIcon& Value) {
    FIcon = Value;
    if (FVisible) UpdateTrayIcon();
}

void TNotifyIcon::SetToolTip(const QString& Value) {
    FToolTip = Value;
    if (FVisible) UpdateTrayIcon();
}

void TNotifyIcon::FillIconData() {
    FIconData.Icon = FIcon;
    QString tip = FToolTip.left(MaxTipLength);
    // Never leave half of a surrogate pair at the cut.
    if (!tip.isEmpty() && tip.back().isHighSurrogate()) tip.chop(1);
    FIconData.Tip = tip;
    FIconData.Menu = FPopupMenu;
}

// The desktop's answer is not looked at: a failed call leaves the properties
// as they were set, and the icon simply is not there.
bool TNotifyIcon::AddTrayIcon() {
    FillIconData();
    return FShell->Add(FIconData);
}

bool TNotifyIcon::UpdateTrayIcon() {
    FillIconData();
    return FShell->Modify(FIconData);
}

bool TNotifyIcon::RemoveTrayIcon() {
    return FShell->Delete();
}

void TNotifyIcon::ShowPopupMenu() {
    const QPoint at = QCursor::pos();
    // An X11 tray icon that has the menu opens it itself on the press.
    if (FPopupMenu && !FPopupMenu->isVisible()) FPopupMenu->popup(at);
    if (OnRightClick) OnRightClick(this);
}

void TNotifyIcon::TrayCallback(int MouseMessage) {
    Guarded(this, [&] {
        switch (MouseMessage) {
            case WM_MOUSEMOVE:
                if (OnMouseMove) OnMouseMove(this);
                break;
            case WM_LBUTTONDOWN:
                if (OnClick) OnClick(this);
                break;
            case WM_LBUTTONDBLCLK:
                if (OnDblClick) OnDblClick(this);
                break;
            case WM_RBUTTONUP:
                ShowPopupMenu();
                break;
            default:
                break;
        }
    });
}
