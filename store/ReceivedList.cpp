#include "store/ReceivedList.h"

#include <malloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <cstdlib>

#include "platform/Exceptions.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

using files::Calls;

namespace {
// Opens Path as our spill file, locked: a new file, or one a run that died
// left behind (a regular file of ours that nobody holds), emptied. -1 for
// anything else there.
int TakeSpillFile(const std::string& Path) {
    const int common = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    files::TFd fd(Calls().Open(Path.c_str(), common | O_CREAT | O_EXCL, 0600));
    const bool created = fd.Valid();
    if (!created) {
        struct stat st {};
        if (errno != EEXIST || ::lstat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::getuid())
            return -1;
        fd.Reset(Calls().Open(Path.c_str(), common, 0));
        if (!fd.Valid()) return -1;
    }
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_uid != ::getuid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return -1;
    if (!created && (Calls().FTruncate(fd.Get(), 0) != 0 || ::fchmod(fd.Get(), 0600) != 0))
        return -1;
    return fd.Release();
}
}  // namespace

std::string TReceivedList::DefaultSpillPath() {
    return files::UserCacheDir() + "/wexlo/received.spill";
}

TReceivedList::TReceivedList(std::size_t Budget, std::string SpillPath)
    : FBudget(Budget), FSpillBase(std::move(SpillPath)) {}

TReceivedList::~TReceivedList() {
    CloseSpill();
}

void TReceivedList::SetBudget(std::size_t Budget) {
    FBudget = Budget;
    Spill();
}

void TReceivedList::Append(const TStringList& Entry) {
    for (const std::string& item : Entry) {
        FItems.push_back({item});
        FInMemory += item.size();
        FTotal += item.size();
    }
    Spill();
}

void TReceivedList::clear() {
    FItems.clear();
    FItems.shrink_to_fit();
    FFirstInMemory = FInMemory = 0;
    FTotal = 0;
    CloseSpill();
}

// The oldest items leave memory first.
void TReceivedList::Spill() {
    bool spilled = false;
    while (FInMemory > FBudget && FFirstInMemory < FItems.size()) {
        TItem& item = FItems[FFirstInMemory];
        if (!item.Bytes.empty()) {
            if (!OpenSpill() || !files::PWriteAll(FFd, item.Bytes,
                                                      static_cast<off_t>(FSpillEnd))) {
                // Kept in memory; a later arrival tries again.
                if (FFd >= 0) Calls().FTruncate(FFd, static_cast<off_t>(FSpillEnd));
                return;
            }
            item.Offset = FSpillEnd;
            item.Size = item.Bytes.size();
            item.Spilled = true;
            FSpillEnd += item.Size;
            FInMemory -= item.Bytes.size();
            std::string().swap(item.Bytes);
            spilled = true;
        }
        ++FFirstInMemory;
    }
    // Large texts freed amid smaller blocks would otherwise stay with the
    // allocator, and the budget would bound nothing the system can see.
    if (spilled) ::malloc_trim(0);
}

bool TReceivedList::OpenSpill() {
    if (FFd >= 0) return true;
    if (!files::MakeDirectories(files::DirectoryOf(FSpillBase), 0700)) return false;
    for (int n = 0; n < 10 && FFd < 0; ++n) {
        const std::string path = n == 0 ? FSpillBase : FSpillBase + "." + std::to_string(n);
        FFd = TakeSpillFile(path);
        if (FFd >= 0) FSpillFile = path;
    }
    FSpillEnd = 0;
    return FFd >= 0;
}

void TReceivedList::CloseSpill() {
    if (FFd < 0) return;
    // Removed while still locked, so no other copy takes it meanwhile.
    Calls().Unlink(FSpillFile.c_str());
    ::close(FFd);
    FFd = -1;
    FSpillFile.clear();
    FSpillEnd = 0;
}

std::string TReceivedList::ReadBack(const TItem& Item) const {
    if (!Item.Spilled) return Item.Bytes;
    std::string bytes;
    if (!files::PReadAll(FFd, bytes, static_cast<std::size_t>(Item.Size),
                             static_cast<off_t>(Item.Offset)))
        throw Exception("Cannot open file " + FSpillFile);
    return bytes;
}

std::string TReceivedList::operator[](std::size_t Index) const {
    return ReadBack(FItems.at(Index));
}

TReceivedList::operator TStringList() const {
    TStringList all;
    all.reserve(FItems.size());
    ForEach([&](std::string&& item) { all.push_back(std::move(item)); });
    return all;
}

bool TReceivedList::operator==(const TStringList& Other) const {
    if (Other.size() != FItems.size()) return false;
    for (std::size_t i = 0; i < FItems.size(); ++i)
        if ((*this)[i] != Other[i]) return false;
    return true;
}

void TReceivedList::ForEach(const std::function<void(std::string&& Item)>& Fn) const {
    for (const TItem& item : FItems) Fn(ReadBack(item));
}

TReceivedText::TReceivedText(const TReceivedList& List, const std::string& Dir) : FDir(Dir) {
    if (!files::MakeDirectories(Dir, 0700)) return;
    files::TFd fd(::open(Dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        // A file system without nameless files: a named one, gone at once.
        std::string name = Dir + "/received-XXXXXX";
        fd.Reset(::mkostemp(name.data(), O_CLOEXEC));
        if (!fd.Valid()) return;
        ::unlink(name.c_str());
    }
    std::string buffer;
    bool ok = true;
    auto flush = [&] {
        ok = ok && files::WriteAll(fd.Get(), buffer);
        buffer.clear();
    };
    List.ForEach([&](std::string&& Item) {
        const std::string_view shown = UpToNul(Item);
        if (shown.size() >= (std::size_t(1) << 20)) {
            flush();
            ok = ok && files::WriteAll(fd.Get(), shown);
        } else {
            buffer.append(shown);
        }
        buffer.append("\r\n");
        if (buffer.size() >= (std::size_t(1) << 20)) flush();
    });
    flush();
    if (ok) FFd = fd.Release();
}

TReceivedText::~TReceivedText() {
    if (FFd >= 0) ::close(FFd);
}
