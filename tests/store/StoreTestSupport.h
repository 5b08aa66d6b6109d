#pragma once

// Shared by the store's tests: a fresh folder per case, a received entry, and
// the message of whatever a call raises.

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Exceptions.h"
#include "store/MessageLog.h"
#include "store/PosixFile.h"
#include "tests/support/TestSupport.h"

namespace storetest {

// A new folder inside the run's temporary folder, named Prefix-N.
inline std::string NewFolder(const std::string& Prefix) {
    static int counter = 0;
    const std::string dir = testsupport::TempDir() + "/" + Prefix + "-" + std::to_string(++counter);
    std::filesystem::create_directories(dir);
    return dir;
}

inline TStringList Entry(const std::string& Text, bool AutoResponse = false) {
    return ReceivedEntry("", "10.0.0.5", "13:04:05, 01/02/24", AutoResponse, Text);
}

inline std::string Raised(const std::function<void()>& Fn) {
    try {
        Fn();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

// The record files' calls for the scope of one object: each error set below
// fails every call of its kind until it is cleared, as a full disk or a
// used-up descriptor table would.
class FileFaults {
public:
    FileFaults() : FSaved(posixfile::Calls()) {
        auto& calls = posixfile::Calls();
        calls.Open = [](const char* Path, int Flags, mode_t Mode) {
            return Failed(openError) ? -1 : posixfile::RealFileCalls().Open(Path, Flags, Mode);
        };
        calls.Write = [](int Fd, const void* Data, std::size_t Size) {
            return Failed(writeError) ? ssize_t{-1} : ::write(Fd, Data, Size);
        };
        calls.PWrite = [](int Fd, const void* Data, std::size_t Size, off_t At) {
            return Failed(writeError) ? ssize_t{-1} : ::pwrite(Fd, Data, Size, At);
        };
        calls.FSync = [](int Fd) { return Failed(syncError) ? -1 : ::fsync(Fd); };
    }
    ~FileFaults() {
        Clear();
        posixfile::Calls() = FSaved;
    }
    FileFaults(const FileFaults&) = delete;
    FileFaults& operator=(const FileFaults&) = delete;

    static void Clear() { openError = writeError = syncError = 0; }

    static inline std::atomic<int> openError{0}, writeError{0}, syncError{0};

private:
    static bool Failed(const std::atomic<int>& Error) {
        const int error = Error;
        if (error != 0) errno = error;
        return error != 0;
    }
    posixfile::TFileCalls FSaved;
};

}  // namespace storetest
