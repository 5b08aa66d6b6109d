#include "SavedMessages.h"

#include <sys/stat.h>

#include "platform/Exceptions.h"
#include "store/PosixFile.h"

using posixfile::TFd;

std::string TSavedMessages::PathIn(const std::string& ExeDir) {
    if (!ExeDir.empty() && ExeDir.back() == '/') return ExeDir + "Saved messages.txt";
    return ExeDir + "/Saved messages.txt";
}

bool TSavedMessages::Exists() const {
    struct stat st {};
    return ::stat(FPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void TSavedMessages::Append(const TStringList& Entries) const {
    const Exception failure("Cannot create file " + FPath);
    bool created = true;
    TFd fd(::open(FPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.Valid() && errno == EEXIST) {
        created = false;
        fd.Reset(::open(FPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    }
    if (!fd.Valid()) throw failure;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) throw failure;
    const off_t oldSize = st.st_size;

    std::string text;
    if (oldSize > 0 && !Entries.empty()) {
        char last = 0;
        if (::pread(fd.Get(), &last, 1, oldSize - 1) != 1) throw failure;
        // Text without a final break would run into the first new line.
        if (last != '\n' && last != '\r') text = "\r\n";
    }
    text += TextOf(Entries);

    if (!posixfile::WriteAll(fd.Get(), text.data(), text.size()) || ::fsync(fd.Get()) != 0) {
        // Take back whatever part of the new text made it, so the file holds
        // exactly what it held before (or is not there, as before).
        if (created) {
            ::unlink(FPath.c_str());
        } else if (::ftruncate(fd.Get(), oldSize) == 0) {
            ::fsync(fd.Get());
        }
        throw failure;
    }
    if (created) posixfile::SyncDirectoryOf(FPath);
}

std::string TSavedMessages::Read() const {
    const Exception failure("Cannot open file " + FPath);
    TFd fd(::open(FPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) throw failure;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) throw failure;
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    if (!posixfile::ReadAll(fd.Get(), content)) throw failure;
    return content;
}

bool TSavedMessages::Delete() const {
    if (!Exists()) return true;
    return ::unlink(FPath.c_str()) == 0 || errno == ENOENT;
}

std::string TSavedMessages::DeleteErrorText() const {
    return "Error deleting " + FPath;
}
