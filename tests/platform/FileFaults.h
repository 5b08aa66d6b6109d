#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "platform/FileSystem.h"

namespace filefaults {

// The file calls for the scope of one object: each error set below
// fails every call of its kind until it is cleared, as a full disk or a
// used-up descriptor table would.
class FileFaults {
public:
    FileFaults() : FSaved(files::Calls()) {
        auto& calls = files::Calls();
        calls.Open = [](const char* Path, int Flags, mode_t Mode) {
            return Failed(openError) ? -1 : files::RealCalls().Open(Path, Flags, Mode);
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
        files::Calls() = FSaved;
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
    files::TCalls FSaved;
};

// Fails the Nth call of one kind made by the arming thread (once), with Error,
// or for ShortWrite lets the Nth write take only half its bytes, as a signal or
// a full disk may; calls of other threads (the journal's flusher) pass.
// Fired() tells whether the operation got that far. Calls of other kinds pass
// untouched.
class NthCallFails {
public:
    enum TKind { Open, Write, FSync, Rename, MkDir, ShortWrite };
    static constexpr const char* KindNames[] = {"open",  "write", "fsync",
                                                "rename", "mkdir", "short write"};

    NthCallFails(TKind Kind, int N, int Error) : FSaved(files::Calls()) {
        kind = Kind;
        left = N;
        error = Error;
        fired = false;
        thread = std::this_thread::get_id();
        auto& calls = files::Calls();
        calls.Open = [](const char* Path, int Flags, mode_t Mode) {
            return Fail(Open) ? -1 : ::open(Path, Flags, Mode);
        };
        calls.Write = [](int Fd, const void* Data, std::size_t Size) {
            return Fail(Write) ? ssize_t{-1}
                               : ::write(Fd, Data, Fail(ShortWrite) ? (Size + 1) / 2 : Size);
        };
        calls.PWrite = [](int Fd, const void* Data, std::size_t Size, off_t At) {
            return Fail(Write) ? ssize_t{-1}
                               : ::pwrite(Fd, Data, Fail(ShortWrite) ? (Size + 1) / 2 : Size, At);
        };
        calls.FSync = [](int Fd) { return Fail(FSync) ? -1 : ::fsync(Fd); };
        calls.Rename = [](const char* From, const char* To) {
            return Fail(Rename) ? -1 : ::rename(From, To);
        };
        calls.MkDir = [](const char* Path, mode_t Mode) {
            return Fail(MkDir) ? -1 : ::mkdir(Path, Mode);
        };
    }
    ~NthCallFails() { files::Calls() = FSaved; }
    NthCallFails(const NthCallFails&) = delete;
    NthCallFails& operator=(const NthCallFails&) = delete;

    bool Fired() const { return fired; }

private:
    static bool Fail(TKind Kind) {
        if (Kind != kind || std::this_thread::get_id() != thread || fired || --left > 0)
            return false;
        fired = true;
        errno = error;
        return true;
    }
    static inline TKind kind = Open;
    static inline int left = 0, error = 0;
    static inline std::atomic<bool> fired{false};
    static inline std::thread::id thread;
    files::TCalls FSaved;
};

// Runs Operation with the Nth call of each kind failing, for N = 1, 2, ...
// until it runs through with no call failed; Check looks at the outcome of each
// failed run (which kind, which call). Bounded: no operation makes 200 calls.
inline void FailEachCallOnce(const std::function<void()>& Prepare,
                             const std::function<void()>& Operation,
                             const std::function<void(const std::string& Which)>& Check) {
    for (const auto kind : {NthCallFails::Open, NthCallFails::Write, NthCallFails::FSync,
                            NthCallFails::Rename, NthCallFails::MkDir, NthCallFails::ShortWrite}) {
        for (int n = 1;; ++n) {
            const std::string which =
                std::string(NthCallFails::KindNames[kind]) + " #" + std::to_string(n);
            Prepare();
            bool fired = false;
            {
                NthCallFails fault(kind, n, kind == NthCallFails::Write ? ENOSPC : EIO);
                Operation();
                fired = fault.Fired();
            }
            if (!fired) break;
            Check(which);
            if (n >= 200) {
                ADD_FAILURE() << which << ": the operation never ends";
                break;
            }
        }
    }
}

// The file calls of a child process that is to die at its Call-th one. Only the
// calls of the main thread count, so that each number means the same moment in
// every run; the flushing thread's come when they come.
inline std::atomic<int> killAt{0};
inline std::thread::id counted;
inline bool Counted() {
    return std::this_thread::get_id() == counted;
}
inline void CountOrDie() {
    if (Counted() && --killAt == 0) ::raise(SIGKILL);
}
template <auto Real, class... Args>
auto Counting(Args... A) {
    CountOrDie();
    return Real(A...);
}
template <bool Positioned>
ssize_t HalfThenDie(int Fd, const void* Data, std::size_t Size, off_t At) {
    const auto write = [&](std::size_t Bytes) {
        return Positioned ? ::pwrite(Fd, Data, Bytes, At) : ::write(Fd, Data, Bytes);
    };
    if (Counted() && killAt == 1) write(Size / 2);
    CountOrDie();
    return write(Size);
}
inline void DieAt(int Call) {
    killAt = Call;
    counted = std::this_thread::get_id();
    if (Call <= 0) return;
    files::Calls() = {
        [](const char* Path, int Flags, mode_t Mode) {
            return Counting<::open>(Path, Flags, Mode);
        },
        [](int Fd, const void* Data, std::size_t Size) {
            return HalfThenDie<false>(Fd, Data, Size, 0);
        },
        HalfThenDie<true>,
        Counting<::fsync, int>,
        Counting<::ftruncate, int, off_t>,
        Counting<::rename, const char*, const char*>,
        Counting<::unlink, const char*>,
        Counting<::mkdir, const char*, mode_t>,
    };
}

}  // namespace filefaults
