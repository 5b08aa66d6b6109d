#include "SavedMessages.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

using files::TFd;

std::string TSavedMessages::PathIn(const std::string& ExeDir) {
    if (!ExeDir.empty() && ExeDir.back() == '/') return ExeDir + "Saved messages.txt";
    return ExeDir + "/Saved messages.txt";
}

bool TSavedMessages::Exists() const {
    struct stat st {};
    return ::stat(FPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::uint64_t TSavedMessages::Size() const {
    struct stat st {};
    return ::stat(FPath.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

namespace {
// The text appended at Size: the entries, on a line of their own.
bool TextAt(int Fd, off_t Size, const TStringList& Entries, std::string& Text) {
    Text.clear();
    if (Size > 0 && !Entries.empty()) {
        std::string last;
        if (!files::PReadAll(Fd, last, 1, Size - 1)) return false;
        // Text without a final break would run into the first new line.
        if (last[0] != '\n' && last[0] != '\r') Text = "\r\n";
    }
    Text += TextOf(Entries);
    return true;
}
}  // namespace

void TSavedMessages::Append(const TStringList& Entries,
                            std::optional<std::uint64_t> StartedAt) const {
    const Exception failure("Cannot create file " + FPath);
    auto& calls = files::Calls();
    bool created = true;
    TFd fd(calls.Open(FPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.Valid() && errno == EEXIST) {
        created = false;
        fd.Reset(calls.Open(FPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC, 0));
    }
    if (!fd.Valid()) throw failure;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) throw failure;
    const off_t oldSize = st.st_size;

    std::string text;
    std::size_t done = 0;  // bytes of text already there
    bool resumed = false;
    if (StartedAt && *StartedAt <= static_cast<std::uint64_t>(oldSize)) {
        // An earlier append from StartedAt may have got part of the way, or all
        // of it; bytes there that are not the start of our text are someone
        // else's, and ours then go after them as usual.
        const off_t from = static_cast<off_t>(*StartedAt);
        if (!TextAt(fd.Get(), from, Entries, text)) throw failure;
        std::string there;
        const std::size_t have = std::min(static_cast<std::size_t>(oldSize - from), text.size());
        if (!files::PReadAll(fd.Get(), there, have, from)) throw failure;
        resumed = text.compare(0, have, there) == 0;
        if (resumed) done = have;
    }
    if (!resumed && !TextAt(fd.Get(), oldSize, Entries, text)) throw failure;

    if (!files::WriteAll(fd.Get(), std::string_view(text).substr(done)) ||
        calls.FSync(fd.Get()) != 0) {
        // Take back whatever part of the new text made it, so the file holds
        // exactly what it held before (or is not there, as before).
        if (created) {
            calls.Unlink(FPath.c_str());
        } else if (calls.FTruncate(fd.Get(), oldSize) == 0) {
            calls.FSync(fd.Get());
        }
        throw failure;
    }
    if (created) files::SyncDirectoryOf(FPath);
}

std::string TSavedMessages::Read() const {
    const Exception failure("Cannot open file " + FPath);
    TFd fd(::open(FPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) throw failure;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) throw failure;
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    if (!files::ReadAll(fd.Get(), content)) throw failure;
    return content;
}

bool TSavedMessages::Delete() const {
    if (!Exists()) return true;
    return files::Calls().Unlink(FPath.c_str()) == 0 || errno == ENOENT;
}

std::string TSavedMessages::DeleteErrorText() const {
    return "Error deleting " + FPath;
}
