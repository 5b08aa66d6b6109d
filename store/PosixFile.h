#pragma once

// Small POSIX file helpers shared by the record files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <string>

namespace posixfile {

// The calls that open and change the record files, in one table, so that tests
// can make them fail as a full disk or a used-up descriptor table would, or
// stop the process between two of them.
struct TFileCalls {
    int (*Open)(const char* Path, int Flags, mode_t Mode);
    ssize_t (*Write)(int Fd, const void* Data, std::size_t Size);
    ssize_t (*PWrite)(int Fd, const void* Data, std::size_t Size, off_t Offset);
    int (*FSync)(int Fd);
    int (*FTruncate)(int Fd, off_t Size);
    int (*Rename)(const char* From, const char* To);
    int (*Unlink)(const char* Path);
};

inline TFileCalls RealFileCalls() {
    return {[](const char* Path, int Flags, mode_t Mode) { return ::open(Path, Flags, Mode); },
            ::write,
            ::pwrite,
            ::fsync,
            ::ftruncate,
            ::rename,
            ::unlink};
}

inline TFileCalls& Calls() {
    static TFileCalls calls = RealFileCalls();
    return calls;
}

// Owns a file descriptor.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (FFd >= 0) ::close(FFd);
        FFd = fd;
    }

private:
    int FFd = -1;
};

inline bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = Calls().Write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes at Offset, whatever the file offset is.
inline bool PWriteAll(int fd, const char* data, std::size_t size, off_t Offset) {
    while (size > 0) {
        const ssize_t written = Calls().PWrite(fd, data, size, Offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        Offset += written;
    }
    return true;
}

// Reads exactly Size bytes at Offset; false when the file is shorter.
inline bool PReadAll(int fd, std::string& Out, std::size_t Size, off_t Offset) {
    Out.resize(Size);
    std::size_t done = 0;
    while (done < Size) {
        const ssize_t got = ::pread(fd, Out.data() + done, Size - done, Offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
        Offset += got;
    }
    return true;
}

// Reads the whole file from its current offset; false on a read error.
inline bool ReadAll(int fd, std::string& content) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

inline std::string DirectoryOf(const std::string& Path) {
    const std::size_t slash = Path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

// Makes a created, renamed or removed directory entry durable; best effort.
inline void SyncDirectoryOf(const std::string& Path) {
    const int fd = Calls().Open(DirectoryOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return;
    Calls().FSync(fd);
    ::close(fd);
}

// The first free name of Base, Base.1, Base.2, ..., so that an earlier file
// kept aside is never replaced by a later one; "" when all are taken.
inline std::string FreeSidePath(const std::string& Base) {
    struct stat st {};
    if (::lstat(Base.c_str(), &st) != 0) return Base;
    for (int n = 1; n < 1000; ++n) {
        const std::string candidate = Base + "." + std::to_string(n);
        if (::lstat(candidate.c_str(), &st) != 0) return candidate;
    }
    return {};
}

}  // namespace posixfile
