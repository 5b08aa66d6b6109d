#include "tests/support/PrivateDesktop.h"

#include <sys/prctl.h>
#include <xcb/xcb.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>

#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QStandardPaths>

#include "tests/support/TestSupport.h"

namespace testsupport {
namespace {

constexpr int StartLimitMs = 30000;

// Reads the first line a child prints, running the event loop meanwhile.
std::string FirstLine(QProcess& Process) {
    WaitUntil([&] { return Process.canReadLine() || Process.state() == QProcess::NotRunning; },
              StartLimitMs);
    return Process.readLine().trimmed().toStdString();
}

void EndChild(std::unique_ptr<QProcess>& Process) {
    if (!Process) return;
    if (Process->state() != QProcess::NotRunning) {
        Process->terminate();
        if (!Process->waitForFinished(5000)) {
            Process->kill();
            Process->waitForFinished(5000);
        }
    }
    Process.reset();
}

xcb_atom_t Atom(xcb_connection_t* c, const char* Name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(Name)), Name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

std::string Property(xcb_connection_t* c, xcb_window_t Window, xcb_atom_t Name, xcb_atom_t Type) {
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, Window, Name, Type, 0, 1024), nullptr);
    std::string value;
    if (reply) {
        value.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
    }
    return value;
}

// Mapped children of the root window: the top-level windows, as there is no
// window manager to reparent them.
std::vector<xcb_window_t> MappedTopLevels(xcb_connection_t* c) {
    std::vector<xcb_window_t> windows;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
            windows.push_back(children[i]);
        std::free(attributes);
    }
    std::free(tree);
    return windows;
}

bool ParseMenuItem(const QDBusArgument& Argument, TBusMenuItem& Item) {
    Argument.beginStructure();
    Argument >> Item.Id >> Item.Properties;
    Argument.beginArray();
    while (!Argument.atEnd()) {
        QDBusVariant child;
        Argument >> child;
        TBusMenuItem parsed;
        if (!ParseMenuItem(qvariant_cast<QDBusArgument>(child.variant()), parsed)) return false;
        Item.Children.push_back(std::move(parsed));
    }
    Argument.endArray();
    Argument.endStructure();
    return true;
}

}  // namespace

void EndWithTest(QProcess& Process) {
    Process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

TPrivateDesktop::~TPrivateDesktop() {
    if (FXcb) xcb_disconnect(static_cast<xcb_connection_t*>(FXcb));
    QDBusConnection::disconnectFromBus(QStringLiteral("wexlo-test-bus"));
    EndChild(FTray);
    EndChild(FBus);
    EndChild(FX);
}

std::string TPrivateDesktop::Start() {
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
    if (xvfb.isEmpty()) return "missing Xvfb (Debian package xvfb)";
    if (daemon.isEmpty()) return "missing dbus-daemon (Debian package dbus-daemon)";

    // The server picks a free display number and prints it.
    FX = std::make_unique<QProcess>();
    FX->setProcessChannelMode(QProcess::SeparateChannels);
    EndWithTest(*FX);
    FX->start(xvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    const std::string number = FirstLine(*FX);
    if (number.empty()) return "Xvfb did not start: " + FX->readAllStandardError().toStdString();
    FDisplay = ":" + number;
    FXcb = xcb_connect(FDisplay.c_str(), nullptr);
    if (xcb_connection_has_error(static_cast<xcb_connection_t*>(FXcb)))
        return "cannot connect to Xvfb on " + FDisplay;

    // A minimal configuration of our own: the stock session one would start
    // services (the accessibility bus) that outlive the test.
    const std::string folder = TempDir() + "/bus";
    std::filesystem::create_directories(folder);
    FConfigPath = folder + "/session.conf";
    WriteFile(FConfigPath,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:dir=" +
                  folder +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
    FBus = std::make_unique<QProcess>();
    EndWithTest(*FBus);
    FBus->start(daemon, {"--nofork", "--print-address=1",
                         QString::fromStdString("--config-file=" + FConfigPath)});
    FBusAddress = FirstLine(*FBus);
    if (FBusAddress.empty())
        return "dbus-daemon did not start: " + FBus->readAllStandardError().toStdString();
    if (!Bus().isConnected()) return "cannot connect to the private bus " + FBusAddress;
    return {};
}

QDBusConnection TPrivateDesktop::Bus() const {
    return QDBusConnection::connectToBus(QString::fromStdString(FBusAddress),
                                         QStringLiteral("wexlo-test-bus"));
}

QProcessEnvironment TPrivateDesktop::Environment(QProcessEnvironment Base) const {
    Base.insert("DISPLAY", QString::fromStdString(FDisplay));
    Base.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(FBusAddress));
    Base.insert("QT_QPA_PLATFORM", "xcb");
    Base.remove("WAYLAND_DISPLAY");
    return Base;
}

std::vector<std::string> TPrivateDesktop::WindowTitles() const {
    auto* c = static_cast<xcb_connection_t*>(FXcb);
    std::vector<std::string> titles;
    if (!c) return titles;
    const xcb_atom_t name = Atom(c, "_NET_WM_NAME"), utf8 = Atom(c, "UTF8_STRING");
    for (const xcb_window_t window : MappedTopLevels(c)) {
        const std::string title = Property(c, window, name, utf8);
        if (!title.empty()) titles.push_back(title);
    }
    return titles;
}

bool TPrivateDesktop::PopupShown() const {
    auto* c = static_cast<xcb_connection_t*>(FXcb);
    if (!c) return false;
    for (const xcb_window_t window : MappedTopLevels(c)) {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
        const bool popup = attributes && attributes->override_redirect;
        std::free(attributes);
        if (popup) return true;
    }
    return false;
}

std::string TPrivateDesktop::StartX11Tray() {
    const QString trayer = QStandardPaths::findExecutable("trayer");
    if (trayer.isEmpty()) return "missing trayer (Debian package trayer)";
    if (QStandardPaths::findExecutable("xdotool").isEmpty())
        return "missing xdotool (Debian package xdotool)";
    FTray = std::make_unique<QProcess>();
    EndWithTest(*FTray);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", QString::fromStdString(FDisplay));
    FTray->setProcessEnvironment(env);
    FTray->start(trayer, {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                          "120", "--height", "24"});
    auto* c = static_cast<xcb_connection_t*>(FXcb);
    const xcb_atom_t selection = Atom(c, "_NET_SYSTEM_TRAY_S0");
    const bool owned = WaitUntil(
        [&] {
            xcb_get_selection_owner_reply_t* reply =
                xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
            const bool found = reply && reply->owner != XCB_WINDOW_NONE;
            std::free(reply);
            return found;
        },
        StartLimitMs);
    return owned ? std::string() : "trayer did not take the tray selection";
}

std::uint32_t TPrivateDesktop::DockedIcon() const {
    auto* c = static_cast<xcb_connection_t*>(FXcb);
    if (!c) return 0;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    // Below the top-level windows: a docked icon is a window of the program's
    // inside the tray's.
    std::vector<std::pair<xcb_window_t, int>> pending = {{root, 0}};
    while (!pending.empty()) {
        const auto [window, depth] = pending.back();
        pending.pop_back();
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
        if (!tree) continue;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            const std::string wmClass =
                Property(c, children[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
            if (depth >= 1 && wmClass.rfind(std::string("wexlo\0", 6), 0) == 0) {
                const xcb_window_t icon = children[i];  // children live in tree
                std::free(tree);
                return icon;
            }
            pending.push_back({children[i], depth + 1});
        }
        std::free(tree);
    }
    return 0;
}

bool TPrivateDesktop::Xdotool(const QStringList& Args) const {
    QProcess tool;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", QString::fromStdString(FDisplay));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("xdotool"), Args);
    return tool.waitForFinished(StartLimitMs) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

bool TPrivateDesktop::Click(std::uint32_t Window, int Button, int Count) const {
    return Xdotool({"mousemove", "--window", QString::number(Window), "8", "8", "click", "--repeat",
                    QString::number(Count), "--delay", "60", QString::number(Button)});
}

bool TPrivateDesktop::Key(const char* Name) const {
    return Xdotool({"key", QString::fromLatin1(Name)});
}

std::unique_ptr<QObject> TStandInWatcher::Serve(QDBusConnection Bus, TStandInWatcher** Watcher) {
    auto host = std::make_unique<QObject>();
    *Watcher = new TStandInWatcher(host.get());
    Bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), host.get(),
                       QDBusConnection::ExportAdaptors);
    Bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    return host;
}

void TStandInWatcher::RegisterStatusNotifierItem(const QString& Service,
                                                 const QDBusMessage& Message) {
    // An item names its bus name, or only its object path on the caller's.
    const QString name = Service.startsWith('/') ? Message.service() : Service;
    FItems << name;
    emit StatusNotifierItemRegistered(name);
}

void TStandInWatcher::RegisterStatusNotifierHost(const QString&) {
    emit StatusNotifierHostRegistered();
}

QDBusMessage CallOnBus(const QDBusConnection& Bus, const QString& Service, const QString& Path,
                       const QString& Interface, const QString& Method, const QVariantList& Args,
                       int TimeoutMs) {
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, Method);
    call.setArguments(Args);
    QDBusPendingCall pending = Bus.asyncCall(call, TimeoutMs);
    WaitUntil([&] { return pending.isFinished(); }, TimeoutMs + 5000);
    return pending.reply();
}

bool ReadBusMenu(const QDBusConnection& Bus, const QString& Service, const QString& Path,
                 TBusMenuItem& Root, std::string& Error) {
    const QDBusMessage reply =
        CallOnBus(Bus, Service, Path, QStringLiteral("com.canonical.dbusmenu"),
                  QStringLiteral("GetLayout"), {0, -1, QStringList()});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        Error = reply.errorMessage().toStdString();
        return false;
    }
    Root = {};
    return ParseMenuItem(qvariant_cast<QDBusArgument>(reply.arguments().at(1)), Root);
}

}  // namespace testsupport
