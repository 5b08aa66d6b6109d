#include "InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/FileSystem.h"

namespace {

// Letters, digits and ". _ -" stay; every other byte becomes '_'.
std::string SafeFileName(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        out += safe ? c : '_';
    }
    return out;
}

// The display this session runs on. An X display names the same session
// whatever screen is asked for, so ":0.1" counts as ":0".
std::string SessionDisplay() {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) return wayland;
    const char* x = std::getenv("DISPLAY");
    if (!x) return {};
    std::string display(x);
    const std::size_t colon = display.rfind(':');
    const std::size_t dot = display.rfind('.');
    if (colon != std::string::npos && dot != std::string::npos && dot > colon) display.erase(dot);
    return display;
}

// $TMPDIR/wexlo-<uid>, made 0700 and checked to be ours, so that another user
// can neither hold our lock nor plant a link there.
std::string PrivateTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
    const std::string dir = base + "/wexlo-" + std::to_string(::getuid());
    if (files::Calls().MkDir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return {};
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return {};
    return dir;
}

std::string RuntimeDir() {
    const std::string runtime = files::UserRuntimeDir();
    return runtime.empty() ? PrivateTempDir() : runtime;
}

}  // namespace

namespace {
std::string LockFileIn(const std::string& dir, const std::string& MutexName) {
    if (dir.empty()) return {};
    std::string name = SafeFileName(MutexName) + "@" + SafeFileName(SessionDisplay());
    if (name.size() > 200) {
        // A display given as a long socket path; keep the name within limits.
        std::uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char buf[20];
        std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(hash));
        name = name.substr(0, 180) + "-" + buf;
    }
    return dir + "/" + name + ".lock";
}
}  // namespace

std::string TInstanceLock::LockPath(const std::string& MutexName) {
    return LockFileIn(RuntimeDir(), MutexName);
}

TInstanceLock::TInstanceLock(const std::string& MutexName) : FPath(LockPath(MutexName)) {
    if (TryLock() || FState == lsHeldElsewhere) return;
    // A runtime folder we cannot create files in (read-only, full) must not
    // switch the single-copy rule off: every copy falls back to the same
    // private folder.
    const std::string fallback = LockFileIn(PrivateTempDir(), MutexName);
    if (fallback.empty() || fallback == FPath) return;
    FPath = fallback;
    TryLock();
}

bool TInstanceLock::TryLock() {
    FState = lsUnavailable;
    if (FPath.empty()) return false;
    // Close-on-exec: a program we launch must not keep the lock after we end.
    FFd = files::Calls().Open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (FFd < 0) return false;
    int rc;
    do rc = ::flock(FFd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        FState = lsHeld;
        return true;
    }
    FState = errno == EWOULDBLOCK ? lsHeldElsewhere : lsUnavailable;
    ::close(FFd);
    FFd = -1;
    return false;
}

TInstanceLock::~TInstanceLock() {
    if (FFd >= 0) ::close(FFd);
}
