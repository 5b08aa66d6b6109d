#include "ui/NotifyIcon.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QMenu>
#include <QSystemTrayIcon>

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
    FTray->setIcon(Data.Icon);
    FTray->setToolTip(PlainTrayText(Data.Tip));
    FTray->show();
    return FTray->isVisible();
}

bool TSystemTrayShell::Modify(const TNotifyIconData& Data) {
    if (!FTray) return false;
    // Setting the same image again would still redraw it on the desktop.
    if (Data.Icon.cacheKey() != FTray->icon().cacheKey()) FTray->setIcon(Data.Icon);
    const QString tip = PlainTrayText(Data.Tip);
    if (tip != FTray->toolTip()) FTray->setToolTip(tip);
    return true;
}

bool TSystemTrayShell::Delete() {
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
        case QSystemTrayIcon::Trigger:
            Callback(WM_LBUTTONDOWN);
            break;
        case QSystemTrayIcon::DoubleClick:
            Callback(WM_LBUTTONDBLCLK);
            break;
        case QSystemTrayIcon::Context:
            Callback(WM_RBUTTONUP);
            break;
        default:
            break;
    }
}

TNotifyIcon::TNotifyIcon(QObject* Owner, std::unique_ptr<ITrayShell> Shell)
    : QObject(Owner), FShell(std::move(Shell)) {
    if (!FShell) FShell = std::make_unique<TDesktopTrayShell>();
    FShell->Callback = [this](int message) { TrayCallback(message); };
    FUpdateTimer.setSingleShot(true);
    connect(&FUpdateTimer, &QTimer::timeout, this,
            [this] { Guarded(this, [this] { SendUpdate(); }); });
}

TNotifyIcon::~TNotifyIcon() {
    if (FVisible) RemoveTrayIcon();
    FShell->Callback = nullptr;
}

void TNotifyIcon::SetVisible(bool Value) {
    if (Value == FVisible) return;
    // An add shows the state as it is; a removed icon has nothing to update.
    FUpdatePending = false;
    FUpdateTimer.stop();
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

void TNotifyIcon::SetUpdatePacing(TUpdatePacing Pacing) {
    FPacing = std::move(Pacing);
}

namespace {
qint64 SteadyMs() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}
}  // namespace

void TNotifyIcon::SendUpdate() {
    if (!FUpdatePending) return;
    FUpdatePending = false;
    FUpdateTimer.stop();
    if (!FVisible) return;
    const TNotifyIconData shown = FIconData;
    FillIconData();
    // Changed and changed back within one interval: the desktop has it already.
    if (FSentOnce && shown.Icon.cacheKey() == FIconData.Icon.cacheKey() &&
        shown.Tip == FIconData.Tip)
        return;
    FLastSent = FPacing.Clock ? FPacing.Clock() : SteadyMs();
    FSentOnce = true;
    FShell->Modify(FIconData);
}

void TNotifyIcon::FillIconData() {
    FIconData.Icon = FIcon;
    QString tip = FToolTip.left(MaxTipLength);
    // Never leave half of a surrogate pair at the cut.
    if (!tip.isEmpty() && tip.back().isHighSurrogate()) tip.chop(1);
    FIconData.Tip = tip;
}

// The desktop's answer is not looked at: a failed call leaves the properties
// as they were set, and the icon simply is not there.
bool TNotifyIcon::AddTrayIcon() {
    FillIconData();
    FSentOnce = true;
    FLastSent = FPacing.Clock ? FPacing.Clock() : SteadyMs();
    return FShell->Add(FIconData);
}

// Queues the update (see MinUpdateIntervalMs); true while one is on its way.
bool TNotifyIcon::UpdateTrayIcon() {
    if (FUpdatePending) return true;
    FUpdatePending = true;
    const qint64 now = FPacing.Clock ? FPacing.Clock() : SteadyMs();
    const qint64 since = now - FLastSent;
    const int delay =
        since >= 0 && since < MinUpdateIntervalMs ? int(MinUpdateIntervalMs - since) : 0;
    if (FPacing.Schedule)
        FPacing.Schedule(delay);
    else
        FUpdateTimer.start(delay);
    return true;
}

bool TNotifyIcon::RemoveTrayIcon() {
    return FShell->Delete();
}

void TNotifyIcon::ShowPopupMenu() {
    const QPoint at = QCursor::pos();
    if (FPopupMenu) FPopupMenu->popup(at);
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
