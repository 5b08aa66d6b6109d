#pragma once

// Shared by the main form's integration tests: a main form living in a folder
// of its own (executable path, settings, autostart entry, journal), raw
// loopback peers on plain BSD sockets, and the real wexlo-send tool.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QApplication>
#include <QProcess>

#include "app/Main.h"
#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/FileDialogs.h"
#include "store/MessageLog.h"
#include "store/Settings.h"
#include "tests/support/Recorders.h"
#include "tests/support/TestSupport.h"
#include "ui/NotifyIcon.h"
#include "ui/ShowMessage.h"
#include "ui/TextViewer.h"
#include "ui/TrayImages.h"

namespace maintest {

using testsupport::WaitUntil;

// "\b" in the requests and replies below is the 0x08 mark of a header.

// The separator line of a log entry, as its bytes.
const std::string Separator(65, '\xAF');
// The time the tests fix the clock at.
const std::time_t When = 1700000000;

inline std::string Dword(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

// A stored string value, escaped as the settings file wants it.
inline std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// A settings file holding all seventeen values (a missing one would end the
// load before the port), defaults unless Values names them (value name to the
// value's text as stored, e.g. Dword(0)).
inline std::string SettingsText(const std::map<std::string, std::string>& Values) {
    std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\n";
    for (const TSettingDef& def : SettingsTable) {
        const std::string name(def.Name);
        std::string value;
        if (auto it = Values.find(name); it != Values.end())
            value = it->second;
        else if (def.Type == TSettingType::Bool)
            value = Dword(def.DefaultBool ? 1 : 0);
        else if (def.Type == TSettingType::Integer)
            value = Dword(static_cast<unsigned>(def.DefaultInt));
        else
            value = Quoted(std::string(def.DefaultText));
        text += "\"" + name + "\"=" + value + "\n";
    }
    return text + "\n";
}

// The icon the tray shows, as an index of the tray image list; -1 if none.
inline int ShownTrayImage(const TfMain& Form) {
    for (int i = 0; i < TrayImageListCount; ++i)
        if (Form.NotifyIcon->Icon().cacheKey() == TrayImage(i).cacheKey()) return i;
    return -1;
}

inline std::string ShownTrayHint(const TfMain& Form) {
    return Form.NotifyIcon->ToolTip().toStdString();
}

inline std::string Title(const QWidget* W) {
    return W->windowTitle().toStdString();
}

// Open message windows (alerts and viewers) with this caption.
inline std::vector<TfShowMessage*> WindowsTitled(const std::string& Caption) {
    std::vector<TfShowMessage*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<TfShowMessage*>(w); m && Title(m) == Caption) found.push_back(m);
    return found;
}

// A main form with its own folder: the executable "sits" in Dir/bin, so
// "Saved messages.txt" goes there too.
class MainHarness {
public:
    MainHarness() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = testsupport::TempDir() + "/" + info->test_suite_name() + "." + info->name();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir + "/bin");
        services.MessageBoxes = &boxes;
        services.Sound = &sound;
        services.FileDialogs = &dialogs;
        services.InputBoxes = &inputs;
        services.ExecutablePath = dir + "/bin/wexlo";
        services.SettingsPath = dir + "/settings.reg";
        services.AutostartPath = dir + "/autostart/Wexlo.desktop";
        services.JournalPath = dir + "/state/received.journal";
        port = testsupport::FreeTcpPort();
        settings["Port"] = Dword(static_cast<unsigned>(port));
        // Sounds are recorded by name; a fixed one is easier to expect.
        settings["Sound file"] = Quoted(SoundFile());
    }
    ~MainHarness() { Stop(); }

    std::string SoundFile() const { return dir + "/bin/message.wav"; }
    std::string SavedPath() const { return dir + "/bin/Saved messages.txt"; }

    // Writes the settings file from `settings` and creates the form.
    TfMain& Start() {
        testsupport::WriteFile(services.SettingsPath, SettingsText(settings));
        return StartAsIs();
    }
    // Creates the form with whatever the settings file holds now (or none).
    TfMain& StartAsIs() {
        Stop();
        form = std::make_unique<TfMain>(services);
        return *form;
    }
    // Destroys the form: the program's shutdown.
    void Stop() {
        form.reset();
        // Windows closed by the user go at the next turn of the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    TfMain* operator->() { return form.get(); }

    std::string dir;
    int port = 0;
    std::map<std::string, std::string> settings;
    testsupport::RecordingMessageBox boxes;
    testsupport::RecordingSound sound;
    testsupport::RecordingInputBox inputs;
    TFileDialogs dialogs;
    TMainServices services;
    std::unique_ptr<TfMain> form;
};

inline sockaddr_in Address(const char* Ip, int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    ::inet_pton(AF_INET, Ip, &a.sin_addr);
    return a;
}

// A client on a plain socket: connects (the kernel completes the handshake
// without the program's help), then sends and reads without blocking, a bit
// at each Pump, so the test's event loop keeps running.
class RawClient {
public:
    explicit RawClient(int Port, const char* Source = nullptr) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("socket");
        if (Source) {
            const sockaddr_in from = Address(Source, 0);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
                throw std::runtime_error("bind to source");
        }
        const sockaddr_in to = Address("127.0.0.1", Port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("connect");
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ~RawClient() {
        if (fd >= 0) ::close(fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Queues bytes; as much as the socket takes goes at once, the rest at Pump.
    void Send(const std::string& Bytes) {
        pending += Bytes;
        Pump();
    }

    // Writes what it can, reads what is there. True once the program closed.
    bool Pump() {
        while (!pending.empty() && !closed) {
            const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            } else {
                error = errno;
                closed = true;  // reset by the program: the rest is not wanted
            }
        }
        char buffer[65536];
        while (!closed) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                closed = true;
            } else if (errno == EAGAIN || errno == EINTR) {
                break;
            } else {
                error = errno;
                closed = true;
            }
        }
        return closed;
    }

    // Waits, with the event loop running, until the program closed the connection.
    bool WaitClosed(int TimeoutMs = 20000) {
        return WaitUntil([this] { return Pump(); }, TimeoutMs);
    }

    // Ends the connection with a reset instead of a close.
    void Reset() {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        fd = -1;
        closed = true;
    }

    int fd = -1;
    std::string pending, got;
    std::size_t sent = 0;
    bool closed = false;
    int error = 0;
};

// A receiver the test controls: accepts and records each connection's bytes
// at every Pump; the test answers and closes as it likes.
class RawListener {
public:
    struct Peer {
        int fd = -1;
        std::string got;
        bool eof = false;
    };

    explicit RawListener(const char* Ip = "127.0.0.1", int Port = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at = Address(Ip, Port);
        socklen_t len = sizeof at;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0)
            throw std::runtime_error("listen");
        port = ntohs(at.sin_port);
    }
    ~RawListener() {
        for (Peer& p : peers)
            if (p.fd >= 0) ::close(p.fd);
        ::close(fd);
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    void Pump() {
        for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
            peers.push_back(Peer{c, {}, false});
        char buffer[65536];
        for (Peer& p : peers) {
            while (p.fd >= 0 && !p.eof) {
                const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
                if (n > 0)
                    p.got.append(buffer, static_cast<std::size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    p.eof = true;
                else
                    break;
            }
        }
    }

    // Waits until connection Index has received at least Size bytes.
    bool WaitFor(std::size_t Index, std::size_t Size, int TimeoutMs = 20000) {
        return WaitUntil(
            [&] {
                Pump();
                return peers.size() > Index && peers[Index].got.size() >= Size;
            },
            TimeoutMs);
    }

    void Reply(std::size_t Index, const std::string& Bytes) {
        ASSERT_EQ(::send(peers[Index].fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(Bytes.size()));
    }
    void Close(std::size_t Index, bool Reset = false) {
        if (Reset) {
            const linger hard{1, 0};
            ::setsockopt(peers[Index].fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        ::close(peers[Index].fd);
        peers[Index].fd = -1;
    }

    int fd = -1;
    int port = 0;
    std::vector<Peer> peers;
};

// The real command-line sender, run while the test's event loop turns.
struct SendToolResult {
    int exitCode = -1;
    std::string out, err;
};

inline std::unique_ptr<QProcess> StartSendTool(int Port, const std::vector<std::string>& Words) {
    auto process = std::make_unique<QProcess>();
    QStringList args{"--port", QString::number(Port), "--timeout", "10", "127.0.0.1"};
    for (const std::string& w : Words) args << QString::fromStdString(w);
    process->start(QString::fromStdString(testsupport::BuildDir() + "/wexlo-send"), args);
    return process;
}

inline SendToolResult FinishSendTool(QProcess& Process) {
    SendToolResult r;
    if (!WaitUntil([&] { return Process.state() == QProcess::NotRunning; }, 30000)) {
        Process.kill();
        Process.waitForFinished();
        return r;
    }
    r.exitCode = Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    r.out = Process.readAllStandardOutput().toStdString();
    r.err = Process.readAllStandardError().toStdString();
    return r;
}

inline SendToolResult RunSendTool(int Port, const std::vector<std::string>& Words) {
    auto process = StartSendTool(Port, Words);
    return FinishSendTool(*process);
}

// The request the program sends for Text.
inline std::string Request(const std::string& Text) {
    return std::string("\b0150\r\n\b") + Text;
}

}  // namespace maintest
