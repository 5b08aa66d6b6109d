// Program entry: one copy per desktop session, the hidden main form, the event
// loop, and an orderly shutdown however the program is asked to end.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QApplication>
#include <QSessionManager>

#include "app/AwayModes.h"
#include "app/DisplayCheck.h"
#include "app/CommandLine.h"
#include "app/Main.h"
#include "app/ShutdownBoxes.h"
#include "app/SignalRelay.h"
#include "net/DescriptorLimit.h"
#include "platform/AvahiDiscovery.h"
#include "platform/CanberraSound.h"
#include "platform/FileDialogs.h"
#include "platform/InstalledCopy.h"
#include "platform/InstanceLock.h"
#include "platform/LoggedMessageBox.h"
#include "platform/QtInputBox.h"
#include "platform/QtMessageBox.h"

namespace {

// With WEXLO_MESSAGE_BOX_LOG=<file> set, boxes go to that file instead of the
// screen, so a test can run the real program without a desktop.
std::unique_ptr<IMessageBoxService> MakeMessageBoxes() {
    const char* log = std::getenv("WEXLO_MESSAGE_BOX_LOG");
    if (log && *log) return std::make_unique<TLoggedMessageBox>(log);
    return std::make_unique<TQtMessageBox>();
}

// Turns the application's quit event into a call of our own.
class TQuitEventFilter : public QObject {
public:
    explicit TQuitEventFilter(std::function<void()> OnQuit) : FOnQuit(std::move(OnQuit)) {}

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == qApp && Event->type() == QEvent::Quit) {
            FOnQuit();
            return true;
        }
        return false;
    }

private:
    std::function<void()> FOnQuit;
};
}  // namespace

int main(int argc, char** argv) {
    // Before the toolkit: --help and --version need no display.
    if (const std::optional<int> status = HandleCommandLine(argc, argv)) return *status;
    std::setlocale(LC_ALL, "");
    // A closed terminal or pipe on stderr must not end the program mid-run.
    std::signal(SIGPIPE, SIG_IGN);
    if (!HasDisplaySetting()) {
        std::error_code error;
        const std::string exe = std::filesystem::read_symlink("/proc/self/exe", error).string();
        std::fputs(NoDisplayText(IsInstalledCopy(exe)), stderr);
        return 1;
    }
    // Every peer holds a descriptor; the usual soft limit of 1024 is soon used up.
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Wexlo");
    QApplication::setApplicationDisplayName(QString());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setDesktopFileName("wexlo");

    const std::unique_ptr<IMessageBoxService> messageBoxes = MakeMessageBoxes();
    // Nothing waits on a box once the program is being ended from outside.
    TShutdownBoxes boxes(*messageBoxes);
    auto lock = std::make_unique<TInstanceLock>(Caption::AppTitle + " - Drelmo");
    if (lock->State() == TInstanceLock::lsHeldElsewhere) {
        messageBoxes->Show(nullptr, "Application already running", Caption::AppTitle,
                           TMsgIcon::Information, TMsgButtons::Ok);
        return 0;
    }

    // A signal or the end of the desktop session ends the program as Exit does,
    // without the unread question, so nothing is lost at logout. exit() rather
    // than quit(): quit() is ignored before the loop runs and gives up when a
    // window refuses to close, as the options dialog does. The relay is up
    // before the form, so a request that comes while a start-up box is open
    // ends that box and then the program.
    bool quitRequested = false;
    const auto requestQuit = [&quitRequested, &boxes] {
        quitRequested = true;
        // Nobody may be there to answer the auto-response prompt: it ends
        // with its text as it stands, and its command finishes first.
        if (fMain) fMain->AwayModes().EndPrompt();
        boxes.SetQuiet(true);
        QCoreApplication::exit(0);
    };
    TSignalRelay relay([&requestQuit](int) { requestQuit(); });
    // The session manager ends a session with a quit event, which Qt turns
    // into closing every window; the options dialog refuses that, so take the
    // event over and end the same way as a signal does.
    TQuitEventFilter quitFilter(requestQuit);
    app.installEventFilter(&quitFilter);

    TCanberraSound sound;
    TFileDialogs fileDialogs;
    TQtInputBox inputBoxes;
    // Finding the others is an extra: without Avahi one line says so.
    TAvahiDiscovery discovery(
        [](const std::string& Line) { std::fprintf(stderr, "wexlo: %s\n", Line.c_str()); });
    TMainServices services;
    services.Discovery = &discovery;
    services.MessageBoxes = &boxes;
    services.Sound = &sound;
    services.FileDialogs = &fileDialogs;
    services.InputBoxes = &inputBoxes;
    services.ExecutablePath = QCoreApplication::applicationFilePath().toStdString();

    auto form = std::make_unique<TfMain>(services);
    // Asked to save (a checkpoint, or a logout that may yet be cancelled): the
    // settings go to disk now, and the program stays. Received messages are in
    // the journal already.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, form.get(),
                     [&form, &boxes](QSessionManager&) {
                         // A logout waits for this: a failure is reported, not asked about.
                         const bool quiet = boxes.Quiet();
                         boxes.SetQuiet(true);
                         Guarded(form.get(), [&form] { form->SaveSettings(); });
                         boxes.SetQuiet(quiet);
                     });
    // An end asked for before the loop runs would be forgotten by exec().
    if (!quitRequested) form->RunLoop();

    // The lock goes last: a copy started now would otherwise find the port
    // still taken, the journal still locked and the settings not yet saved.
    form.reset();
    lock.reset();
    return 0;
}
