#pragma once

// The file layer: the calls that open, write and change the files we own,
// the atomic replacement of a file, the making of folders and the user's
// folders. Everything that writes a file goes through it.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace files {

// The calls that open and change files, in one table: the one place where
// tests make them fail, as a full disk or a used-up descriptor table would, or
// stop the process between two of them.
struct TCalls {
    int (*Open)(const char* Path, int Flags, mode_t Mode);
    ssize_t (*Write)(int Fd, const void* Data, std::size_t Size);
    ssize_t (*PWrite)(int Fd, const void* Data, std::size_t Size, off_t Offset);
    int (*FSync)(int Fd);
    int (*FTruncate)(int Fd, off_t Size);
    int (*Rename)(const char* From, const char* To);
    int (*Unlink)(const char* Path);
    int (*MkDir)(const char* Path, mode_t Mode);
};

TCalls RealCalls();
TCalls& Calls();

// Owns a file descriptor.
class TFd {
public:
    TFd() = default;
    explicit TFd(int Fd) : FFd(Fd) {}
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
    void Reset(int Fd = -1);

private:
    int FFd = -1;
};

// Writes all of Bytes, at the file offset or at Offset.
bool WriteAll(int Fd, std::string_view Bytes);
bool PWriteAll(int Fd, std::string_view Bytes, off_t Offset);
// Reads exactly Size bytes at Offset; false when the file is shorter.
bool PReadAll(int Fd, std::string& Out, std::size_t Size, off_t Offset);
// Appends the rest of the file from its offset; false on a read error.
bool ReadAll(int Fd, std::string& Out);

enum class TRead { Missing, NotRegular, Read, OpenFailed, ReadFailed };
// The whole file at Path without following a link there. Missing when nothing
// is there (or cannot be, a parent being a file); what is not a regular file
// is never read (a FIFO would block, a device never end). A failure leaves
// errno.
TRead ReadRegularFile(const std::string& Path, std::string& Bytes);

std::string DirectoryOf(const std::string& Path);

// Makes a created, renamed or removed entry in Path's folder durable; best
// effort.
void SyncDirectoryOf(const std::string& Path);

// The first free name of Base, Base.1, Base.2, ..., so that an earlier file
// kept aside is never replaced by a later one; "" when all are taken.
std::string FreeSidePath(const std::string& Base);

// Creates Dir and its missing parents with Mode. False, with the reason in
// *Error when given (and errno), on failure.
bool MakeDirectories(const std::string& Dir, mode_t Mode, std::string* Error = nullptr);

// Writes Bytes to a temporary file beside Path, flushes it to disk and renames
// it over Path, so a crash leaves the old file or the new one, never a mix. An
// existing regular file keeps its permissions; anything else (a new file, or a
// link or special file at Path, which is replaced) gets NewFileMode. With
// BackupPath, an existing Path is renamed there just before the new file takes
// its place. False, with the reason in *Error when given, on failure; Path is
// then untouched and no temporary file is left.
bool ReplaceFileAtomically(const std::string& Path, std::string_view Bytes, mode_t NewFileMode,
                           std::string* Error = nullptr, const std::string& BackupPath = {});

// The user's folders: $HOME (else the password database's), and the XDG base
// folders, where an unset, empty or relative value is ignored as the XDG rules
// say.
std::string HomeDir();
std::string UserConfigDir();  // ${XDG_CONFIG_HOME:-$HOME/.config}
std::string UserDataDir();    // ${XDG_DATA_HOME:-$HOME/.local/share}
std::string UserStateDir();   // ${XDG_STATE_HOME:-$HOME/.local/state}
std::string UserCacheDir();   // ${XDG_CACHE_HOME:-$HOME/.cache}
std::string UserRuntimeDir();  // $XDG_RUNTIME_DIR, "" when not set

}  // namespace files
