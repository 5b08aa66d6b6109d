#include "SavedMessages.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

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
// What goes before the entries appended at Size: a line break when the text
// there does not end with one, or it would run into the first new line.
bool LeadAt(int Fd, off_t Size, std::string& Lead) {
    Lead.clear();
    if (Size == 0) return true;
    std::string last;
    if (!files::PReadAll(Fd, last, 1, Size - 1)) return false;
    if (last[0] != '\n' && last[0] != '\r') Lead = "\r\n";
    return true;
}

// The appended text piece by piece: Lead before the first item, then every
// item followed by CR LF. False as soon as Piece says so.
bool Walk(const TSavedMessages::TItemSource& Items, const std::string& Lead,
          const std::function<bool(std::string_view)>& Piece) {
    bool ok = true, first = true;
    Items([&](std::string_view Item) {
        if (ok && first) ok = Piece(Lead);
        first = false;
        ok = ok && Piece(Item) && Piece("\r\n");
    });
    return ok;
}

// Writes in pieces of about a megabyte.
class TWriter {
public:
    explicit TWriter(int Fd) : FFd(Fd) {}
    bool Add(std::string_view Bytes) {
        if (Bytes.size() >= Step) return Flush() && files::WriteAll(FFd, Bytes);
        FBuffer.append(Bytes);
        return FBuffer.size() < Step || Flush();
    }
    bool Flush() {
        const bool ok = files::WriteAll(FFd, FBuffer);
        FBuffer.clear();
        return ok;
    }

private:
    static constexpr std::size_t Step = std::size_t(1) << 20;
    int FFd;
    std::string FBuffer;
};
}  // namespace

void TSavedMessages::Append(const TStringList& Entries,
                            std::optional<std::uint64_t> StartedAt) const {
    AppendItems(
        [&](const std::function<void(std::string_view)>& Take) {
            for (const std::string& item : Entries) Take(item);
        },
        StartedAt);
}

void TSavedMessages::AppendItems(const TItemSource& Items,
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

    TWriter writer(fd.Get());
    std::string lead;
    bool ok = true, resumed = false;
    if (StartedAt && *StartedAt <= static_cast<std::uint64_t>(oldSize)) {
        // An earlier append from StartedAt may have got part of the way, or all
        // of it; bytes there that are not the start of our text are someone
        // else's, and ours then go after them as usual. Nothing is written
        // before every byte there has been compared.
        const off_t from = static_cast<off_t>(*StartedAt);
        if (!LeadAt(fd.Get(), from, lead)) throw failure;
        const std::uint64_t there = static_cast<std::uint64_t>(oldSize - from);
        std::uint64_t at = 0;  // in our text
        bool differs = false, readFailed = false;
        ok = Walk(Items, lead, [&](std::string_view Piece) {
            if (at < there) {
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(Piece.size(), there - at));
                std::string old;
                if (!files::PReadAll(fd.Get(), old, n, from + static_cast<off_t>(at))) {
                    readFailed = true;
                    return false;
                }
                if (Piece.substr(0, n) != old) {
                    differs = true;
                    return false;
                }
                at += n;
                Piece.remove_prefix(n);
            }
            at += Piece.size();
            return Piece.empty() || writer.Add(Piece);
        });
        if (readFailed) throw failure;
        resumed = !differs;
    }
    if (!resumed) {
        if (!LeadAt(fd.Get(), oldSize, lead)) throw failure;
        ok = Walk(Items, lead, [&](std::string_view Piece) { return writer.Add(Piece); });
    }
    if (!ok || !writer.Flush() || calls.FSync(fd.Get()) != 0) {
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
