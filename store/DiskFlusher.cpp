#include "DiskFlusher.h"

#include <QObject>

TDiskFlusher::TDiskFlusher(std::chrono::milliseconds Interval, TFailed OnFailed)
    : FInterval(Interval), FOnFailed(std::move(OnFailed)), FContext(std::make_unique<QObject>()) {}

TDiskFlusher::~TDiskFlusher() {
    {
        const std::lock_guard lock(FMutex);
        FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
}

void TDiskFlusher::Request(TFile File, std::uint64_t Token) {
    bool idle = false;
    {
        const std::lock_guard lock(FMutex);
        // A file already waiting is flushed by the flush already due; waking
        // the thread for every write would cost more than the write.
        idle = !FFile;
        FFile = std::move(File);
        FToken = Token;
        if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
    }
    if (idle) FWake.notify_all();
}

void TDiskFlusher::Run() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last{};
    std::unique_lock lock(FMutex);
    for (;;) {
        FWake.wait(lock, [this] { return FStop || FFile; });
        if (FStop) return;
        // Writes that come meanwhile share the next flush.
        if (FWake.wait_until(lock, last + FInterval, [this] { return FStop; })) return;
        TFile file = std::move(FFile);
        FFile.reset();
        const std::uint64_t token = FToken;
        lock.unlock();

        last = Clock::now();
        const int error = files::Calls().FSync(file->Get()) == 0 ? 0 : errno;
        file.reset();
        if (error != 0 && FOnFailed)
            QMetaObject::invokeMethod(
                FContext.get(), [failed = FOnFailed, error, token] { failed(error, token); },
                Qt::QueuedConnection);
        lock.lock();
    }
}
