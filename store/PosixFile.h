#pragma once

// Small POSIX file helpers shared by the record files.

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <string>

namespace posixfile {

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
        const ssize_t written = ::write(fd, data, size);
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
        const ssize_t written = ::pwrite(fd, data, size, Offset);
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

// Makes a created or removed directory entry durable; best effort.
inline void SyncDirectoryOf(const std::string& Path) {
    const int fd = ::open(DirectoryOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace posixfile
