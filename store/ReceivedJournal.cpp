#include "ReceivedJournal.h"

#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <array>
#include <cstdlib>
#include <limits>

#include "store/SavedMessages.h"

using posixfile::TFd;

namespace journal {
const std::string Header("WEXLOJ1\n");

namespace {
constexpr std::size_t RecordHead = 8;  // length and checksum

constexpr std::array<std::uint32_t, 256> CrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

void PutU32(std::string& Out, std::uint32_t Value) {
    for (int i = 0; i < 4; ++i) Out += static_cast<char>((Value >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(std::string_view Bytes, std::size_t At) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(Bytes[At + static_cast<std::size_t>(i)]);
    return value;
}

// The items of one payload; false when they do not fill it exactly.
bool ParsePayload(std::string_view Payload, TStringList& Items) {
    TStringList found;
    std::size_t at = 0;
    while (at < Payload.size()) {
        if (Payload.size() - at < 4) return false;
        const std::uint32_t length = GetU32(Payload, at);
        at += 4;
        if (length > Payload.size() - at) return false;
        found.emplace_back(Payload.substr(at, length));
        at += length;
    }
    Items.insert(Items.end(), std::make_move_iterator(found.begin()),
                 std::make_move_iterator(found.end()));
    return true;
}
}  // namespace

std::uint32_t Crc32(std::string_view Bytes) {
    static constexpr auto table = CrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : Bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string Record(const TStringList& Entry) {
    std::size_t payloadSize = 0;
    for (const auto& item : Entry) payloadSize += 4 + item.size();
    std::string payload;
    payload.reserve(payloadSize);
    for (const auto& item : Entry) {
        PutU32(payload, static_cast<std::uint32_t>(item.size()));
        payload += item;
    }
    std::string record;
    record.reserve(RecordHead + payload.size());
    PutU32(record, static_cast<std::uint32_t>(payload.size()));
    PutU32(record, Crc32(payload));
    record += payload;
    return record;
}

TContent Parse(std::string_view Bytes) {
    TContent content;
    if (Bytes.substr(0, Header.size()) != Header) return content;
    std::size_t at = Header.size();
    content.ValidSize = at;
    while (Bytes.size() - at >= RecordHead) {
        const std::uint32_t length = GetU32(Bytes, at);
        const std::uint32_t crc = GetU32(Bytes, at + 4);
        // Every record we write holds at least one item; a run of zeros left by
        // a power cut must not pass as empty records.
        if (length < 4 || length > Bytes.size() - at - RecordHead) break;
        const std::string_view payload = Bytes.substr(at + RecordHead, length);
        if (Crc32(payload) != crc || !ParsePayload(payload, content.Items)) break;
        at += RecordHead + length;
        ++content.Records;
        content.ValidSize = at;
    }
    return content;
}
}  // namespace journal

namespace {
bool MakeDirectories(const std::string& Dir) {
    struct stat st {};
    if (Dir.empty() || ::stat(Dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = posixfile::DirectoryOf(Dir);
    if (parent != Dir && !MakeDirectories(parent)) return false;
    return ::mkdir(Dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

bool SameFile(int Fd, const std::string& Path) {
    struct stat byFd {};
    struct stat byPath {};
    return ::fstat(Fd, &byFd) == 0 && ::stat(Path.c_str(), &byPath) == 0 &&
           byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}
}  // namespace

std::string TReceivedJournal::DefaultPath() {
    // Like the XDG rules: an unset, empty or relative value is ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string base =
        state && state[0] == '/' ? std::string(state) : HomeDir() + "/.local/state";
    return base + "/wexlo/received.journal";
}

TReceivedJournal::TReceivedJournal(std::string Path) : FPath(std::move(Path)) {}

bool TReceivedJournal::Open(bool Create) {
    if (FFd.Valid()) return true;
    if (Create && !MakeDirectories(posixfile::DirectoryOf(FPath))) return false;
    // A copy that is just removing the file may leave us locking a name that is
    // gone; check the lock is on the file the path names, and try again if not.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int flags = O_RDWR | O_CLOEXEC | (Create ? O_CREAT : 0);
        TFd fd(::open(FPath.c_str(), flags, 0600));
        if (!fd.Valid()) return false;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
        if (!SameFile(fd.Get(), FPath)) continue;

        std::string bytes;
        if (!posixfile::ReadAll(fd.Get(), bytes)) return false;
        journal::TContent content = journal::Parse(bytes);
        FFd.Reset(fd.Release());
        FPending = std::move(content.Items);
        FBase = FEnd = content.ValidSize;
        // A torn tail is dropped now, before anything is written after it; a
        // file without our header is started afresh.
        const bool ok = content.ValidSize == 0
                            ? TruncateTo(0) && WriteAt(journal::Header)
                            : content.ValidSize == bytes.size() || TruncateTo(content.ValidSize);
        if (!ok) {
            FFd.Reset();
            FPending.clear();
            return false;
        }
        FBase = FEnd;
        if (Create) posixfile::SyncDirectoryOf(FPath);
        return true;
    }
    return false;
}

bool TReceivedJournal::WriteAt(const std::string& Bytes) {
    if (!posixfile::PWriteAll(FFd.Get(), Bytes.data(), Bytes.size(), static_cast<off_t>(FEnd)) ||
        ::fsync(FFd.Get()) != 0) {
        // Leave no partial record behind for the next one to follow.
        if (::ftruncate(FFd.Get(), static_cast<off_t>(FEnd)) == 0) ::fsync(FFd.Get());
        return false;
    }
    FEnd += Bytes.size();
    return true;
}

bool TReceivedJournal::TruncateTo(std::size_t Size) {
    if (::ftruncate(FFd.Get(), static_cast<off_t>(Size)) != 0 || ::fsync(FFd.Get()) != 0)
        return false;
    FEnd = Size;
    return true;
}

void TReceivedJournal::RemoveFile() {
    if (!FFd.Valid()) return;
    ::unlink(FPath.c_str());
    posixfile::SyncDirectoryOf(FPath);
    FFd.Reset();  // releases the lock
    FPending.clear();
    FBase = FEnd = 0;
}

void TReceivedJournal::Recover(const TSavedMessages& Saved) {
    if (!Open(false)) return;
    // A journal emptied before the crash has nothing to save: don't create a
    // saved-messages file just for it.
    if (!FPending.empty()) Saved.Append(FPending);
    RemoveFile();
}

bool TReceivedJournal::Append(const TStringList& Entry) {
    if (Entry.empty()) return true;
    std::size_t size = 0;
    for (const auto& item : Entry) size += 4 + item.size();
    if (size > std::numeric_limits<std::uint32_t>::max()) return false;
    return Open(true) && WriteAt(journal::Record(Entry));
}

bool TReceivedJournal::Reset(const TStringList& Received) {
    if (!FFd.Valid() && Received.empty()) return true;
    if (!Open(true) || !TruncateTo(FBase)) return false;
    return Append(Received);
}

void TReceivedJournal::SaveOnExit(const TSavedMessages& Saved, const TStringList& Received) {
    if (FPending.empty()) {
        Saved.Append(Received);
    } else {
        TStringList all = FPending;
        ::Append(all, Received);
        Saved.Append(all);
    }
    RemoveFile();
}

void TReceivedJournal::Discard() {
    if (!FFd.Valid()) return;
    if (FPending.empty()) {
        RemoveFile();
    } else {
        TruncateTo(FBase);
        FFd.Reset();
    }
}
