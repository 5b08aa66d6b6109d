#include "ui/StatusWindow.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/Exceptions.h"

namespace {
const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const int BusAnswerTimeoutMs = 3000;

xcb_connection_t* Xcb(void* connection) {
    return static_cast<xcb_connection_t*>(connection);
}

uint32_t InternAtom(xcb_connection_t* c, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    const uint32_t atom = reply ? reply->atom : uint32_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}
}  // namespace

TTrayWatcher::TTrayWatcher(QObject* Parent) : QObject(Parent) {
    WatchX11();
    WatchDesktopBus();
    Recheck();
}

TTrayWatcher::~TTrayWatcher() {
    if (FConnection && qApp) qApp->removeNativeEventFilter(this);
}

void TTrayWatcher::WatchDesktopBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    FBusWatcher = new QDBusServiceWatcher(
        WatcherService, bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(FBusWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            [this] { AskStatusNotifierHost(); });
    connect(FBusWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        ++FBusQuestion;  // an answer still on its way is stale now
        FStatusNotifier = TTrayPresence::Absent;
        Recheck();
    });
    // The watcher may be there before any host (a panel still starting).
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        bus.connect(WatcherService, WatcherPath, WatcherService, QString::fromLatin1(signal), this,
                    SLOT(StatusNotifierHostChanged()));
    FStatusNotifier = TTrayPresence::Unknown;
    AskStatusNotifierHost();
}

void TTrayWatcher::StatusNotifierHostChanged() {
    AskStatusNotifierHost();
}

void TTrayWatcher::AskStatusNotifierHost() {
    QDBusMessage question = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    question << WatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    question.setAutoStartService(false);
    // Asked asynchronously: a hung bus peer must not stop the program. Until
    // the answer comes the last one stands.
    const quint64 serial = ++FBusQuestion;
    auto* pending = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(question, BusAnswerTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, serial](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (serial != FBusQuestion) return;
                const QDBusPendingReply<QDBusVariant> reply = *call;
                FStatusNotifier = !reply.isError() && reply.value().variant().toBool()
                                      ? TTrayPresence::Present
                                      : TTrayPresence::Absent;
                Recheck();
            });
}

void TTrayWatcher::WatchX11() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    xcb_connection_t* c = x11->connection();

    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) screen = 0;
    std::free(host);
    xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen && roots.rem > 0; ++i) xcb_screen_next(&roots);
    if (roots.rem <= 0) return;

    FConnection = c;
    FRoot = roots.data->root;
    FSelectionAtom = InternAtom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    FManagerAtom = InternAtom(c, "MANAGER");
    // A new tray announces itself with a client message to the root window,
    // sent to those who listen for structure events there.
    WatchWindow(FRoot);
    qApp->installNativeEventFilter(this);
    XEmbedTrayExists();
}

void TTrayWatcher::WatchWindow(uint32_t Window) {
    xcb_connection_t* c = Xcb(FConnection);
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, Window), nullptr);
    if (!attributes) return;  // already gone
    // Add to the mask Qt may have set on the same window, never replace it.
    const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    const bool had = attributes->your_event_mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    std::free(attributes);
    if (had) return;
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_change_window_attributes_checked(c, Window, XCB_CW_EVENT_MASK, &mask));
    std::free(error);  // a window that vanished meanwhile is reported by its destruction
}

bool TTrayWatcher::XEmbedTrayExists() {
    if (!FConnection || FSelectionAtom == XCB_ATOM_NONE) return false;
    xcb_connection_t* c = Xcb(FConnection);
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, FSelectionAtom), nullptr);
    const uint32_t owner = reply ? reply->owner : uint32_t{XCB_WINDOW_NONE};
    std::free(reply);
    if (owner != XCB_WINDOW_NONE && owner != FManagerWindow) {
        FManagerWindow = owner;
        WatchWindow(owner);
    }
    if (owner == XCB_WINDOW_NONE) FManagerWindow = 0;
    return owner != XCB_WINDOW_NONE;
}

bool TTrayWatcher::nativeEventFilter(const QByteArray& EventType, void* Message, qintptr*) {
    if (EventType != "xcb_generic_event_t" || !Message) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(Message);
    switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
            const auto* message = static_cast<const xcb_client_message_event_t*>(Message);
            if (message->window == FRoot && message->type == FManagerAtom &&
                message->format == 32 && message->data.data32[1] == FSelectionAtom)
                RecheckSoon();
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(Message);
            if (FManagerWindow != 0 && destroyed->window == FManagerWindow) {
                FManagerWindow = 0;
                RecheckSoon();
            }
            break;
        }
        default:
            break;
    }
    return false;  // Qt needs these events too
}

// After the event at hand: Qt's own tray tracking sees it first.
void TTrayWatcher::RecheckSoon() {
    if (FRecheckPending) return;
    FRecheckPending = true;
    QTimer::singleShot(0, this, [this] {
        FRecheckPending = false;
        Guarded(this, [this] { Recheck(); });
    });
}

void TTrayWatcher::Recheck() {
    TTrayPresence now;
    // Qt is asked only once an area is known to exist: it settles its tray
    // route at the first question and keeps it for the rest of the run.
    if (XEmbedTrayExists() || FStatusNotifier == TTrayPresence::Present)
        now = QSystemTrayIcon::isSystemTrayAvailable() ? TTrayPresence::Present
                                                       : TTrayPresence::Absent;
    else if (FStatusNotifier == TTrayPresence::Unknown)
        now = TTrayPresence::Unknown;
    else
        now = TTrayPresence::Absent;
    if (now == FPresence) return;
    FPresence = now;
    if (OnChange) OnChange();
}

TStatusWindow::TStatusWindow(QWidget* Parent) : QWidget(Parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Wexlo"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    imgStatus = new QLabel(this);
    imgStatus->setFixedSize(32, 32);

    lblHint = new QLabel(this);
    lblHint->setTextFormat(Qt::PlainText);  // peer names end up here
    lblHint->setMinimumWidth(fontMetrics().averageCharWidth() * 32);
    lblHint->setWordWrap(true);

    auto* note = new QLabel(tr("No notification area on this desktop.\n"
                               "Right-click here for the menu."),
                            this);
    note->setTextFormat(Qt::PlainText);
    note->setEnabled(false);

    btnMenu = new QToolButton(this);
    btnMenu->setText(tr("Menu"));
    btnMenu->setArrowType(Qt::DownArrow);
    btnMenu->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(btnMenu, &QToolButton::clicked, this, [this] { Send(WM_RBUTTONUP); });

    auto* text = new QVBoxLayout;
    text->addWidget(lblHint);
    text->addWidget(note);
    auto* row = new QHBoxLayout(this);
    row->setSizeConstraint(QLayout::SetFixedSize);
    row->addWidget(imgStatus, 0, Qt::AlignTop);
    row->addLayout(text, 1);
    row->addWidget(btnMenu, 0, Qt::AlignTop);
}

bool TStatusWindow::Add(const TNotifyIconData& Data) {
    Show(Data);
    if (isMinimized())
        showNormal();
    else
        show();
    return true;
}

bool TStatusWindow::Modify(const TNotifyIconData& Data) {
    Show(Data);
    return isVisible();
}

bool TStatusWindow::Delete() {
    hide();
    return true;
}

void TStatusWindow::Show(const TNotifyIconData& Data) {
    // Each change is drawn and sent to the desktop: only what changed.
    const bool iconChanged = !FShown || Data.Icon.cacheKey() != FData.Icon.cacheKey();
    const bool tipChanged = !FShown || Data.Tip != FData.Tip;
    FData = Data;
    FShown = true;
    if (iconChanged) {
        imgStatus->setPixmap(Data.Icon.pixmap(32, 32));
        setWindowIcon(Data.Icon);
    }
    if (tipChanged) lblHint->setText(Data.Tip);
}

void TStatusWindow::Send(int MouseMessage) {
    if (Callback) Callback(MouseMessage);
}

void TStatusWindow::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton) Send(WM_LBUTTONDOWN);
}

void TStatusWindow::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::RightButton) Send(WM_RBUTTONUP);
}

void TStatusWindow::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton) Send(WM_LBUTTONDBLCLK);
}

void TStatusWindow::closeEvent(QCloseEvent* Event) {
    // Closed, the program would be left without a face; Exit is in the menu.
    Event->ignore();
    showMinimized();
}

TDesktopTrayShell::TDesktopTrayShell(std::unique_ptr<ITrayPresence> Presence,
                                     std::unique_ptr<ITrayShell> Tray)
    : FPresence(std::move(Presence)),
      FTray(std::move(Tray)),
      FFallbackAllowed(FallbackAllowedByDefault()) {
    if (!FPresence) FPresence = std::make_unique<TTrayWatcher>();
    if (!FTray) FTray = std::make_unique<TSystemTrayShell>();
    FPresence->OnChange = [this] { Route(); };
    FTray->Callback = [this](int message) {
        if (Callback) Callback(message);
    };
}

TDesktopTrayShell::~TDesktopTrayShell() {
    FPresence->OnChange = nullptr;
    FTray->Callback = nullptr;
    if (FWindow) FWindow->Callback = nullptr;
}

bool TDesktopTrayShell::FallbackAllowedByDefault() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void TDesktopTrayShell::SetFallbackAllowed(bool Value) {
    FFallbackAllowed = Value;
    Route();
}

bool TDesktopTrayShell::Add(const TNotifyIconData& Data) {
    FData = Data;
    FAdded = true;
    Route();
    return FPlace != TPlace::None;
}

bool TDesktopTrayShell::Modify(const TNotifyIconData& Data) {
    FData = Data;
    switch (FPlace) {
        case TPlace::Tray:
            return FTray->Modify(Data);
        case TPlace::Window:
            return FWindow->Modify(Data);
        case TPlace::None:
            break;
    }
    return false;
}

bool TDesktopTrayShell::Delete() {
    const bool wasShown = FPlace != TPlace::None;
    FAdded = false;
    Route();
    return wasShown;
}

void TDesktopTrayShell::Route() {
    TPlace want = TPlace::None;
    if (FAdded) {
        const TTrayPresence presence = FPresence->Presence();
        if (presence == TTrayPresence::Present)
            want = TPlace::Tray;
        else if (presence == TTrayPresence::Absent && FFallbackAllowed)
            want = TPlace::Window;
    }
    if (want == FPlace) return;

    if (FPlace == TPlace::Tray) FTray->Delete();
    if (FPlace == TPlace::Window) FWindow->Delete();
    FPlace = want;
    if (want == TPlace::Tray) {
        // Also brings back an icon lost with a previous notification area.
        FTray->Add(FData);
    } else if (want == TPlace::Window) {
        if (!FWindow) {
            FWindow = std::make_unique<TStatusWindow>();
            FWindow->Callback = [this](int message) {
                if (Callback) Callback(message);
            };
        }
        FWindow->Add(FData);
    }
}
