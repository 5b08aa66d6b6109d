#pragma once

#include <string>

// One running copy per desktop session: an exclusive lock on a file named
// after the mutex name and the display, in the user's runtime folder
// ($XDG_RUNTIME_DIR, else a private folder in the temporary folder). The lock
// belongs to the open file, so it goes away with the process however that ends.
class TInstanceLock {
public:
    enum TState {
        lsHeld,           // this object holds the lock
        lsHeldElsewhere,  // another copy runs in this session
        lsUnavailable,    // no lock file could be made; nothing is known
    };

    explicit TInstanceLock(const std::string& MutexName);
    ~TInstanceLock();  // releases the lock
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    TState State() const { return FState; }
    bool Held() const { return FState == lsHeld; }
    const std::string& Path() const { return FPath; }

    // The lock file for this name in the current environment; empty when no
    // private folder can be had.
    static std::string LockPath(const std::string& MutexName);

private:
    bool TryLock();

    TState FState = lsUnavailable;
    std::string FPath;
    int FFd = -1;
};
