// Program entry: one copy per desktop session, the hidden main form, the event
// loop, and an orderly shutdown however the program is asked to end.
#include <clocale>
#include <memory>

#include <QApplication>
#include <QSessionManager>

#include "app/Main.h"
#include "app/SignalRelay.h"
#include "platform/CanberraSound.h"
#include "platform/FileDialogs.h"
#include "platform/InstanceLock.h"
#include "platform/QtMessageBox.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Wexlo");
    QApplication::setApplicationDisplayName(QString());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setDesktopFileName("wexlo");

    TQtMessageBox messageBoxes;
    auto lock = std::make_unique<TInstanceLock>(Caption::AppTitle + " - Drelmo");
    if (lock->State() == TInstanceLock::lsHeldElsewhere) {
        messageBoxes.Show(nullptr, "Application already running", Caption::AppTitle,
                          TMsgIcon::Information, TMsgButtons::Ok);
        return 0;
    }

    TCanberraSound sound;
    TFileDialogs fileDialogs;
    TMainServices services;
    services.MessageBoxes = &messageBoxes;
    services.Sound = &sound;
    services.FileDialogs = &fileDialogs;
    services.ExecutablePath = QCoreApplication::applicationFilePath().toStdString();

    auto form = std::make_unique<TfMain>(services);

    // A signal or the end of the desktop session ends the program as Exit does,
    // without the unread question, so nothing is lost at logout.
    TSignalRelay relay([](int) { QCoreApplication::quit(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [](QSessionManager&) { QCoreApplication::quit(); });

    app.exec();

    lock.reset();
    form.reset();
    return 0;
}
