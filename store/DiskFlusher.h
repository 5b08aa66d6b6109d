#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/FileSystem.h"

class QObject;

// Flushes a file to disk on a thread of its own, at most once per Interval, so
// that the UI thread never waits for the disk and a burst of writes costs one
// flush. What was written before a request is on disk about Interval later at
// most. A failed flush is handed back to the thread that made the flusher, as
// an event of its loop.
class TDiskFlusher {
public:
    using TFile = std::shared_ptr<const files::TFd>;
    // Error is the errno of the failed flush, Token the one given with the file.
    using TFailed = std::function<void(int Error, std::uint64_t Token)>;

    TDiskFlusher(std::chrono::milliseconds Interval, TFailed OnFailed);
    // Waits for a flush under way; one not begun yet is dropped.
    ~TDiskFlusher();
    TDiskFlusher(const TDiskFlusher&) = delete;
    TDiskFlusher& operator=(const TDiskFlusher&) = delete;

    // File is flushed soon; it stays open until then.
    void Request(TFile File, std::uint64_t Token);

private:
    void Run();

    const std::chrono::milliseconds FInterval;
    const TFailed FOnFailed;
    std::unique_ptr<QObject> FContext;  // failures are delivered through its thread
    std::mutex FMutex;
    std::condition_variable FWake;
    TFile FFile;  // waiting to be flushed
    std::uint64_t FToken = 0;
    bool FStop = false;
    std::thread FThread;  // started by the first request
};
