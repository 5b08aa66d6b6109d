#pragma once

// Shared by the main form's integration tests: a main form living in a folder
// of its own (executable path, settings, autostart entry, journal), raw
// loopback peers on plain BSD sockets, and the real wexlo-send tool.

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "app/Main.h"
#include "net/AsyncClientSocket.h"
#include "net/AsyncServerSocket.h"
#include "platform/FileDialogs.h"
#include "store/MessageLog.h"
#include "store/Settings.h"
#include "tests/support/RawPeers.h"
#include "tests/support/RecordingMessagingHost.h"
#include "tests/support/Recorders.h"
#include "tests/support/TestSupport.h"
#include "ui/NotifyIcon.h"
#include "ui/ShowMessage.h"
#include "ui/TextViewer.h"
#include "ui/TrayImages.h"

namespace maintest {

using namespace testsupport;

inline std::string Dword(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

// A stored string value, escaped as the settings file wants it.
inline std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes)
        out += c == '\\'   ? "\\\\"
               : c == '"'  ? "\\\""
               : c == '\r' ? "\\r"
               : c == '\n' ? "\\n"
                           : std::string(1, c);
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

// The real command-line sender with Words, to the form on Port.
inline testsupport::TRun RunSendTool(int Port, std::vector<std::string> Words) {
    Words.insert(Words.begin(), {"--port", std::to_string(Port), "--timeout", "10", "127.0.0.1"});
    return testsupport::RunSendTool(Words);
}

}  // namespace maintest
