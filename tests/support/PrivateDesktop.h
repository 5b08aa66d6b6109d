#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QVariantMap>

namespace testsupport {

// A desktop of the test's own: a virtual X display (Xvfb) and a private
// session bus (dbus-daemon), both children of the test process that end with
// it. Nothing of the user's session is touched.
class TPrivateDesktop {
public:
    TPrivateDesktop() = default;
    ~TPrivateDesktop();
    TPrivateDesktop(const TPrivateDesktop&) = delete;
    TPrivateDesktop& operator=(const TPrivateDesktop&) = delete;

    // Empty when both run; else why not (a missing tool starts with "missing").
    std::string Start();

    const std::string& Display() const { return FDisplay; }
    const std::string& BusAddress() const { return FBusAddress; }
    QDBusConnection Bus() const;

    // Base plus the display, the bus and the xcb platform.
    QProcessEnvironment Environment(QProcessEnvironment Base) const;

    // Titles (_NET_WM_NAME) of the mapped top-level windows.
    std::vector<std::string> WindowTitles() const;
    // Whether a popup (a menu) is on screen: a mapped override-redirect window.
    bool PopupShown() const;

    // Starts an X11 tray (trayer) on the display and waits until it owns the
    // tray selection. Empty when it runs; else why not (see Start).
    std::string StartX11Tray();
    // The window of the program's icon once it is docked in the tray, else 0.
    std::uint32_t DockedIcon() const;
    // Mouse and keys through xdotool, as a user would: Button 1 or 3 on a
    // window, Count times; a key name. False when xdotool failed.
    bool Click(std::uint32_t Window, int Button, int Count = 1) const;
    bool Key(const char* Name) const;

private:
    bool Xdotool(const QStringList& Args) const;

    std::unique_ptr<QProcess> FX, FBus, FTray;
    std::string FDisplay, FBusAddress, FConfigPath;
    void* FXcb = nullptr;  // the test's own xcb_connection_t
};

// A stand-in for a panel's org.kde.StatusNotifierWatcher: says a host is
// there, and records the items that register.
class TStandInWatcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
public:
    // Serves on Bus at /StatusNotifierWatcher under the watcher's name.
    static std::unique_ptr<QObject> Serve(QDBusConnection Bus, TStandInWatcher** Watcher);

    bool IsStatusNotifierHostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }
    QStringList RegisteredStatusNotifierItems() const { return FItems; }
    const QStringList& Items() const { return FItems; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& Service, const QDBusMessage& Message);
    void RegisterStatusNotifierHost(const QString& Service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& Service);
    void StatusNotifierItemUnregistered(const QString& Service);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    explicit TStandInWatcher(QObject* Parent) : QDBusAbstractAdaptor(Parent) {}
    QStringList FItems;  // bus names of the items
};

// Makes Process die with the test process, so that a test that crashes
// leaves no display, bus or program behind. Call before start().
void EndWithTest(QProcess& Process);

// One item of an exported menu (com.canonical.dbusmenu layout).
struct TBusMenuItem {
    int Id = 0;
    QVariantMap Properties;
    std::vector<TBusMenuItem> Children;
};

// Calls Method on the bus without blocking the test's event loop (the callee
// may call back into the test's own services meanwhile).
QDBusMessage CallOnBus(const QDBusConnection& Bus, const QString& Service, const QString& Path,
                       const QString& Interface, const QString& Method,
                       const QVariantList& Args = {}, int TimeoutMs = 20000);

// The menu layout of Service at Path, from GetLayout(0, -1, []).
bool ReadBusMenu(const QDBusConnection& Bus, const QString& Service, const QString& Path,
                 TBusMenuItem& Root, std::string& Error);

}  // namespace testsupport
