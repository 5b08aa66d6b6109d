#include "FileSystem.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace files {

namespace {

bool Fail(std::string* Error, const std::string& What, const std::string& Path, int Err) {
    if (Error) *Error = What + " " + Path + ": " + std::strerror(Err);
    errno = Err;
    return false;
}

// Creates a new file Path.XXXXXX of a free name, as mkostemp does, but through
// the calls that tests can make fail.
int CreateTemporaryBeside(const std::string& Path, std::string& Temp) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::minstd_rand random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        Temp = Path + ".";
        for (int i = 0; i < 6; ++i) Temp += letters[random() % (sizeof letters - 1)];
        const int fd =
            Calls().Open(Temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

std::string XdgDir(const char* Variable, const char* UnderHome) {
    const char* value = std::getenv(Variable);
    return value && value[0] == '/' ? std::string(value) : HomeDir() + UnderHome;
}

}  // namespace

TCalls RealCalls() {
    return {[](const char* Path, int Flags, mode_t Mode) { return ::open(Path, Flags, Mode); },
            ::write,
            ::pwrite,
            ::fsync,
            ::ftruncate,
            ::rename,
            ::unlink,
            ::mkdir};
}

TCalls& Calls() {
    static TCalls calls = RealCalls();
    return calls;
}

void TFd::Reset(int Fd) {
    if (FFd >= 0) ::close(FFd);
    FFd = Fd;
}

bool WriteAll(int Fd, std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t written = Calls().Write(Fd, Bytes.data(), Bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        Bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool PWriteAll(int Fd, std::string_view Bytes, off_t Offset) {
    while (!Bytes.empty()) {
        const ssize_t written = Calls().PWrite(Fd, Bytes.data(), Bytes.size(), Offset);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        Bytes.remove_prefix(static_cast<std::size_t>(written));
        Offset += written;
    }
    return true;
}

bool PReadAll(int Fd, std::string& Out, std::size_t Size, off_t Offset) {
    Out.resize(Size);
    std::size_t done = 0;
    while (done < Size) {
        const ssize_t got = ::pread(Fd, Out.data() + done, Size - done, Offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
        Offset += got;
    }
    return true;
}

bool ReadAll(int Fd, std::string& Out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(Fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        Out.append(buffer, static_cast<std::size_t>(got));
    }
}

TRead ReadRegularFile(const std::string& Path, std::string& Bytes) {
    Bytes.clear();
    const TFd fd(::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return TRead::Missing;
        return errno == ELOOP ? TRead::NotRegular : TRead::OpenFailed;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return TRead::NotRegular;
    return ReadAll(fd.Get(), Bytes) ? TRead::Read : TRead::ReadFailed;
}

std::string DirectoryOf(const std::string& Path) {
    const std::size_t slash = Path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

void SyncDirectoryOf(const std::string& Path) {
    const TFd fd(Calls().Open(DirectoryOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (fd.Valid()) Calls().FSync(fd.Get());
}

std::string FreeSidePath(const std::string& Base) {
    struct stat st {};
    if (::lstat(Base.c_str(), &st) != 0) return Base;
    for (int n = 1; n < 1000; ++n) {
        const std::string candidate = Base + "." + std::to_string(n);
        if (::lstat(candidate.c_str(), &st) != 0) return candidate;
    }
    return {};
}

bool MakeDirectories(const std::string& Dir, mode_t Mode, std::string* Error) {
    struct stat st {};
    if (Dir.empty() || ::stat(Dir.c_str(), &st) == 0) {
        if (Dir.empty() || S_ISDIR(st.st_mode)) return true;
        return Fail(Error, "Cannot create folder", Dir, ENOTDIR);
    }
    const std::string parent = DirectoryOf(Dir);
    if (parent != Dir && !MakeDirectories(parent, Mode, Error)) return false;
    if (Calls().MkDir(Dir.c_str(), Mode) != 0 && errno != EEXIST)
        return Fail(Error, "Cannot create folder", Dir, errno);
    return true;
}

bool ReplaceFileAtomically(const std::string& Path, std::string_view Bytes, mode_t NewFileMode,
                           std::string* Error, const std::string& BackupPath) {
    mode_t mode = NewFileMode;
    struct stat st {};
    if (::lstat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;

    auto& calls = Calls();
    std::string temp;
    TFd fd(CreateTemporaryBeside(Path, temp));
    if (!fd.Valid()) return Fail(Error, "Cannot create a file beside", Path, errno);
    const auto abandon = [&](const char* What) {
        const int err = errno;
        fd.Reset();
        calls.Unlink(temp.c_str());
        return Fail(Error, What, temp, err);
    };
    if (!WriteAll(fd.Get(), Bytes) || ::fchmod(fd.Get(), mode) != 0 || calls.FSync(fd.Get()) != 0)
        return abandon("Cannot write");
    if (::close(fd.Release()) != 0) return abandon("Cannot write");
    if (!BackupPath.empty() && calls.Rename(Path.c_str(), BackupPath.c_str()) != 0 &&
        errno != ENOENT)
        return abandon("Cannot keep the old file aside before writing");
    if (calls.Rename(temp.c_str(), Path.c_str()) != 0) {
        const int err = errno;
        // The old file went aside already: put it back, so Path is untouched.
        if (!BackupPath.empty()) calls.Rename(BackupPath.c_str(), Path.c_str());
        errno = err;
        return abandon("Cannot replace the file with");
    }
    SyncDirectoryOf(Path);
    return true;
}

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string UserConfigDir() {
    return XdgDir("XDG_CONFIG_HOME", "/.config");
}

std::string UserDataDir() {
    return XdgDir("XDG_DATA_HOME", "/.local/share");
}

std::string UserStateDir() {
    return XdgDir("XDG_STATE_HOME", "/.local/state");
}

std::string UserCacheDir() {
    return XdgDir("XDG_CACHE_HOME", "/.cache");
}

std::string UserRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && runtime[0] == '/' ? runtime : "";
}

}  // namespace files
