// Times the "Show saved messages" viewer on a record of any size: the window
// is made, the file loaded, the window shown, and the clock stops once the
// text has been painted for the first time.
//
//   viewer-load FILE
//
// Prints "result load_ms=... show_ms=... cpu_ms=... rss_kb=..." (show_ms
// counts from the start, so it includes the load). Run it with
// QT_QPA_PLATFORM=offscreen or on a display.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include "platform/FileDialogs.h"
#include "ui/ShowMessage.h"
#include "ui/TextViewer.h"

namespace {
using Clock = std::chrono::steady_clock;

double CpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

long RssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// Ends a local event loop after the first paint of the text. (Not
// QApplication::quit: that closes every window, and the viewer deletes itself
// when closed.)
class TFirstPaint : public QObject {
public:
    QEventLoop Loop;
    bool Painted = false;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Paint && !Painted) {
            Painted = true;
            QTimer::singleShot(0, &Loop, &QEventLoop::quit);
        }
        return QObject::eventFilter(Watched, Event);
    }
};
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: viewer-load FILE\n");
        return 2;
    }
    // Fonts and styles load on first use; that cost is the program's start,
    // not the viewer's.
    {
        TFileDialogs dialogs;
        TfShowMessage warm(dialogs);
        warm.SetText("warm up");
    }
    const long rssBefore = RssKb();
    TFileDialogs dialogs;
    const double cpu0 = CpuMs();
    const auto t0 = Clock::now();
    auto* viewer = new TfShowMessage(dialogs);
    viewer->LoadTextFile(QString::fromLocal8Bit(argv[1]));
    viewer->SetTitle("Saved messages");
    const auto loaded = Clock::now();
    TFirstPaint watch;
    viewer->redMessage->viewport()->installEventFilter(&watch);
    viewer->ShowViewer();
    QTimer::singleShot(30000, &watch.Loop, &QEventLoop::quit);
    watch.Loop.exec();
    const auto shown = Clock::now();
    const double cpu = CpuMs() - cpu0;
    if (!watch.Painted) {
        std::fprintf(stderr, "viewer-load: the viewer was never painted\n");
        return 1;
    }
    const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::printf("result load_ms=%.1f show_ms=%.1f cpu_ms=%.1f rss_kb=%ld lines=%lld\n",
                ms(loaded - t0), ms(shown - t0), cpu, RssKb() - rssBefore,
                static_cast<long long>(viewer->redMessage->LineCount()));
    delete viewer;
    return 0;
}
