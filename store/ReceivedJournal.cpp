#include "ReceivedJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <QTimer>

#include "store/DiskFlusher.h"
#include "store/SavedMessages.h"

using files::Calls;
using files::TFd;

namespace journal {
namespace {
constexpr std::string_view Magic = "WEXLOJ2\n";
constexpr std::string_view OldMagic = "WEXLOJ1\n";
constexpr std::size_t TagSize = 8;
constexpr std::size_t HeaderSize = Magic.size() + TagSize;
constexpr std::size_t RecordHead = 20;     // tag, length, payload checksum, head checksum
constexpr std::size_t OldRecordHead = 8;   // length and checksum
constexpr std::uint32_t MarkTag = 0xFFFFFFFFu;
constexpr std::size_t MarkSize = 12;  // the tag and a 64-bit size

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

void PutU64(std::string& Out, std::uint64_t Value) {
    PutU32(Out, static_cast<std::uint32_t>(Value));
    PutU32(Out, static_cast<std::uint32_t>(Value >> 32));
}

std::uint32_t GetU32(std::string_view Bytes, std::size_t At) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(Bytes[At + static_cast<std::size_t>(i)]);
    return value;
}

std::uint64_t GetU64(std::string_view Bytes, std::size_t At) {
    return GetU32(Bytes, At) | std::uint64_t{GetU32(Bytes, At + 4)} << 32;
}

std::string Framed(std::uint64_t Tag, const std::string& Payload) {
    std::string record;
    record.reserve(RecordHead + Payload.size());
    PutU64(record, Tag);
    PutU32(record, static_cast<std::uint32_t>(Payload.size()));
    PutU32(record, Crc32(Payload));
    PutU32(record, Crc32(record));
    record += Payload;
    return record;
}

bool IsMark(std::string_view Payload) {
    return Payload.size() == MarkSize && GetU32(Payload, 0) == MarkTag;
}

// The payload is items that fill it exactly; every record we write holds at
// least one.
bool WellFormed(std::string_view Payload) {
    if (Payload.empty()) return false;
    std::size_t at = 0;
    while (at < Payload.size()) {
        if (Payload.size() - at < 4) return false;
        const std::uint32_t length = GetU32(Payload, at);
        at += 4;
        if (length > Payload.size() - at) return false;
        at += length;
    }
    return true;
}

// Takes a whole record's payload into Content.
void Take(std::string_view Payload, TContent& Content) {
    if (IsMark(Payload)) {
        Content.SavedMark = GetU64(Payload, 4);
        return;
    }
    for (std::size_t at = 0; at < Payload.size();) {
        const std::uint32_t length = GetU32(Payload, at);
        Content.Items.emplace_back(Payload.substr(at + 4, length));
        at += 4 + length;
    }
    ++Content.Records;
}

bool Valid(std::string_view Payload, std::uint32_t Checksum) {
    return (IsMark(Payload) || WellFormed(Payload)) && Crc32(Payload) == Checksum;
}

// The first format, read once after an upgrade: records one after the other
// up to the first that cannot be read. Its records carry no tag, so nothing
// past that point can be told from a text holding record-shaped bytes.
TContent ParseOld(std::string_view Bytes) {
    TContent content;
    content.Old = true;
    std::size_t at = content.ValidSize = OldMagic.size();
    while (at < Bytes.size()) {
        const std::size_t rest = Bytes.size() - at;
        const std::uint32_t length = rest >= OldRecordHead ? GetU32(Bytes, at) : 0;
        if (rest < OldRecordHead || length > rest - OldRecordHead) break;  // torn
        const std::string_view payload = Bytes.substr(at + OldRecordHead, length);
        if (!Valid(payload, GetU32(Bytes, at + 4))) {
            content.Damaged = true;
            break;
        }
        Take(payload, content);
        at = content.ValidSize = at + OldRecordHead + length;
    }
    return content;
}
}  // namespace

std::uint32_t Crc32(std::string_view Bytes) {
    static constexpr auto table = CrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : Bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string Header(std::uint64_t Tag) {
    std::string header(Magic);
    PutU64(header, Tag);
    return header;
}

std::string Record(std::uint64_t Tag, const TStringList& Entry) {
    std::size_t payloadSize = 0;
    for (const auto& item : Entry) payloadSize += 4 + item.size();
    std::string payload;
    payload.reserve(payloadSize);
    for (const auto& item : Entry) {
        PutU32(payload, static_cast<std::uint32_t>(item.size()));
        payload += item;
    }
    return Framed(Tag, payload);
}

std::string Mark(std::uint64_t Tag, std::uint64_t SavedSize) {
    std::string payload;
    PutU32(payload, MarkTag);
    PutU64(payload, SavedSize);
    return Framed(Tag, payload);
}

bool LooksLikeJournal(std::string_view Head) {
    const std::size_t n = std::min(Head.size(), Magic.size());
    return Head.substr(0, n) == Magic.substr(0, n) || Head.substr(0, n) == OldMagic.substr(0, n);
}

TContent Parse(std::string_view Bytes) {
    if (Bytes.substr(0, OldMagic.size()) == OldMagic) return ParseOld(Bytes);
    TContent content;
    if (Bytes.size() < HeaderSize || Bytes.substr(0, Magic.size()) != Magic) return content;
    const std::string_view tag = Bytes.substr(Magic.size(), TagSize);
    content.Tag = GetU64(Bytes, Magic.size());
    std::size_t at = content.ValidSize = HeaderSize;
    while (at < Bytes.size()) {
        const std::string_view rest = Bytes.substr(at);
        if (rest.size() >= RecordHead && rest.substr(0, TagSize) == tag &&
            Crc32(rest.substr(0, RecordHead - 4)) == GetU32(rest, RecordHead - 4)) {
            // The head is whole, and with it the record's extent: nothing in
            // there is ever read as a record of its own.
            const std::uint32_t length = GetU32(rest, TagSize);
            if (length > rest.size() - RecordHead) break;  // torn: it loses only itself
            const std::string_view payload = rest.substr(RecordHead, length);
            at += RecordHead + length;
            if (Valid(payload, GetU32(rest, TagSize + 4))) {
                Take(payload, content);
                content.ValidSize = at;
            } else {
                content.Damaged = true;
            }
            continue;
        }
        // A head cut short by a crash, or damage. Past damage, reading goes on
        // at the next tag: this file's own random value, which no peer knows
        // and so no text can hold.
        const std::size_t next = Bytes.find(tag, at + 1);
        if (next == std::string_view::npos) {
            const bool torn = rest.size() < RecordHead &&
                              rest.substr(0, TagSize) == tag.substr(0, std::min(TagSize, rest.size()));
            content.Damaged |= !torn && rest.find_first_not_of('\0') != std::string_view::npos;
            break;
        }
        content.Damaged = true;
        at = next;
    }
    return content;
}
}  // namespace journal

namespace {
constexpr auto FlushInterval = std::chrono::seconds(1);
constexpr int RetryMs = 1000;

bool SameFile(int Fd, const std::string& Path) {
    struct stat byFd {};
    struct stat byPath {};
    return ::fstat(Fd, &byFd) == 0 && ::lstat(Path.c_str(), &byPath) == 0 &&
           byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

// A fresh tag for a journal file; its records start with it.
std::uint64_t NewTag() {
    std::uint64_t tag = 0;
    if (::getrandom(&tag, sizeof tag, 0) != sizeof tag)
        tag = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
              (std::uint64_t{static_cast<std::uint32_t>(::getpid())} << 32);
    return tag;
}

bool FitsRecords(const TStringList& Items) {
    std::size_t size = 0;
    for (const auto& item : Items) size += 4 + item.size();
    return size < std::numeric_limits<std::uint32_t>::max();
}
}  // namespace

std::string TReceivedJournal::DefaultPath() {
    return files::UserStateDir() + "/wexlo/received.journal";
}

TReceivedJournal::TReceivedJournal(const TReceivedList& Received, std::string Path)
    : FRun(Received), FPath(std::move(Path)), FRetry(std::make_unique<QTimer>()) {
    FFlusher =
        std::make_unique<TDiskFlusher>(FlushInterval, [this](int Error, std::uint64_t Token) {
            // The data may not have reached the disk: write it all again.
            if (FFd && Token == FGeneration) Failed(Error);
        });
    FRetry->setInterval(RetryMs);
    QObject::connect(FRetry.get(), &QTimer::timeout, [this] {
        if (FFailing) Repair();
    });
}

TReceivedJournal::~TReceivedJournal() {
    FFlusher.reset();
    // Whatever stays behind is on disk before the program ends.
    if (FFd) Calls().FSync(FFd->Get());
}

bool TReceivedJournal::MoveAside(const std::string& What) {
    const std::string aside = files::FreeSidePath(FPath + ".bad");
    if (aside.empty() || Calls().Rename(What.c_str(), aside.c_str()) != 0) {
        FError = aside.empty() ? EEXIST : errno;
        return false;
    }
    files::SyncDirectoryOf(FPath);
    return true;
}

bool TReceivedJournal::Open(bool Create) {
    if (FFd) return true;
    if (Create && !files::MakeDirectories(files::DirectoryOf(FPath), 0700)) {
        FError = errno;
        return false;
    }
    // Each pass either opens the journal or clears the way for one: a copy that
    // is just removing the file may leave us locking a name that is gone, and a
    // foreign file is moved aside.
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat st {};
        if (::lstat(FPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            // Links, FIFOs, devices and folders are not even opened.
            if (!MoveAside(FPath)) return false;
            continue;
        }
        const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (Create ? O_CREAT : 0);
        auto fd = std::make_shared<TFd>(Calls().Open(FPath.c_str(), flags, 0600));
        if (!fd->Valid()) {
            FError = errno;
            if (FError == ELOOP || FError == EISDIR || FError == ENXIO) continue;  // swapped in
            return false;
        }
        struct stat opened {};
        if (::fstat(fd->Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
        if (::flock(fd->Get(), LOCK_EX | LOCK_NB) != 0) {
            FError = EWOULDBLOCK;
            return false;
        }
        if (!SameFile(fd->Get(), FPath)) continue;

        std::string head;
        const std::size_t headSize =
            std::min<std::size_t>(static_cast<std::size_t>(opened.st_size), 8);
        if (!files::PReadAll(fd->Get(), head, headSize, 0)) {
            FError = errno ? errno : EIO;
            return false;
        }
        if (!journal::LooksLikeJournal(head)) {
            fd.reset();
            if (!MoveAside(FPath)) return false;
            continue;
        }
        std::string bytes;
        if (!files::ReadAll(fd->Get(), bytes)) {
            FError = errno;
            return false;
        }
        if (!Take(std::move(fd), bytes)) return false;
        if (Create) files::SyncDirectoryOf(FPath);
        return true;
    }
    FError = EAGAIN;
    return false;
}

// Makes the opened journal Fd, holding Bytes, the one written to.
bool TReceivedJournal::Take(TFile Fd, const std::string& Bytes) {
    journal::TContent content = journal::Parse(Bytes);
    FFd = std::move(Fd);
    ++FGeneration;
    FPending = std::move(content.Items);
    FMark = content.SavedMark;
    FTag = content.Tag;
    FBase = FEnd = content.ValidSize;
    FRunItems = 0;
    bool ok = true;
    if (content.Damaged || content.Old) {
        // A copy of a damaged one for whoever wants to look; the journal goes
        // on from its whole records, in the current format.
        const std::string copy = content.Damaged ? files::FreeSidePath(FPath + ".bad") : "";
        if (!copy.empty()) {
            TFd out(Calls().Open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (out.Valid() && files::WriteAll(out.Get(), Bytes))
                Calls().FSync(out.Get());
        }
        const bool runOn = FRunOn;
        FRunOn = false;
        ok = Rewrite();
        FRunOn = runOn;
    } else if (content.ValidSize == 0) {
        // The header before any flush: the flushing thread keeps the file, and
        // with it the lock, until it is done, and a retry would then take that
        // for another copy holding the journal.
        FEnd = 0;
        if (Calls().FTruncate(FFd->Get(), 0) != 0) {
            FError = errno;
            ok = false;
        } else {
            FTag = NewTag();
            ok = WriteAt(journal::Header(FTag));
            if (ok) RequestFlush();
        }
    } else if (content.ValidSize != Bytes.size()) {
        // A torn tail goes now, before anything is written after it.
        ok = TruncateTo(content.ValidSize);
    }
    if (!ok) {
        FFd.reset();
        FPending.clear();
        FMark.reset();
        return false;
    }
    FBase = FEnd;
    return true;
}

bool TReceivedJournal::WriteAt(const std::string& Bytes) {
    if (!files::PWriteAll(FFd->Get(), Bytes, static_cast<off_t>(FEnd))) {
        FError = errno;
        // Leave no partial record behind for the next one to follow.
        Calls().FTruncate(FFd->Get(), static_cast<off_t>(FEnd));
        return false;
    }
    FEnd += Bytes.size();
    return true;
}

bool TReceivedJournal::TruncateTo(std::size_t Size) {
    if (Calls().FTruncate(FFd->Get(), static_cast<off_t>(Size)) != 0) {
        FError = errno;
        return false;
    }
    FEnd = Size;
    RequestFlush();
    return true;
}

void TReceivedJournal::RequestFlush() {
    FFlusher->Request(FFd, FGeneration);
}

// The whole journal written anew beside the old one, then put in its place.
bool TReceivedJournal::Rewrite() {
    if (!Open(true)) return false;
    const bool withRun = FRunOn && !FRun.empty();
    if (!FitsRecords(FPending) || (withRun && FRun.TotalBytes() + 4 * FRun.size() >= std::numeric_limits<std::uint32_t>::max())) {
        FError = EFBIG;
        return false;
    }
    const std::uint64_t tag = NewTag();
    std::string bytes = journal::Header(tag);
    if (!FPending.empty()) bytes += journal::Record(tag, FPending);
    if (FMark) bytes += journal::Mark(tag, *FMark);
    const std::size_t base = bytes.size();
    if (withRun) bytes += journal::Record(tag, FRun);

    // Only the holder of the journal's lock gets here, so the name is ours.
    const std::string temp = FPath + ".new";
    Calls().Unlink(temp.c_str());
    auto fd = std::make_shared<TFd>(
        Calls().Open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd->Valid()) {
        FError = errno;
        return false;
    }
    ::flock(fd->Get(), LOCK_EX | LOCK_NB);
    if (!files::WriteAll(fd->Get(), bytes) ||
        Calls().FSync(fd->Get()) != 0 || Calls().Rename(temp.c_str(), FPath.c_str()) != 0) {
        FError = errno;
        Calls().Unlink(temp.c_str());
        return false;
    }
    files::SyncDirectoryOf(FPath);
    FFd = std::move(fd);
    ++FGeneration;
    FTag = tag;
    FBase = base;
    FEnd = bytes.size();
    FRunItems = withRun ? FRun.size() : 0;
    return true;
}

bool TReceivedJournal::Repair() {
    if (!Rewrite()) {
        Failed(FError);
        return false;
    }
    Repaired();
    return true;
}

void TReceivedJournal::Failed(int Error) {
    FFailing = true;
    if (!FRetry->isActive()) FRetry->start();
    if (FTold) return;
    FTold = true;
    const std::string reason =
        Error == EWOULDBLOCK ? "it is in use by another copy of Wexlo" : std::strerror(Error);
    const std::string text =
        "Cannot write the received messages to the journal " + FPath + " (" + reason +
        ").\rThey are still saved on exit, but until the journal can be written again a crash "
        "or a power cut may lose them. Wexlo keeps trying.";
    // Told from the event loop, never from inside the write that failed.
    QTimer::singleShot(0, FRetry.get(), [this, text] {
        if (OnWriteFailed) OnWriteFailed(text);
    });
}

void TReceivedJournal::Repaired() {
    FFailing = false;
    FTold = false;
    FRetry->stop();
}

void TReceivedJournal::RemoveFile() {
    if (!FFd) return;
    Calls().Unlink(FPath.c_str());
    files::SyncDirectoryOf(FPath);
    FFd.reset();  // releases the lock
    ++FGeneration;
    FPending.clear();
    FMark.reset();
    FBase = FEnd = FRunItems = 0;
    Repaired();
}

// The earlier runs' items, then the run's when WithRun, go to Saved; the run's
// are read one at a time, wherever the list keeps them. When Whole (the
// journal holds exactly those items), a mark made durable first lets a later
// start finish an append cut short here instead of doing it twice.
void TReceivedJournal::Save(const TSavedMessages& Saved, bool WithRun, bool Whole) {
    std::optional<std::uint64_t> mark = FMark;
    if (!mark && Whole && FFd && (!FPending.empty() || (WithRun && !FRun.empty()))) {
        const std::uint64_t size = Saved.Size();
        if (WriteAt(journal::Mark(FTag, size)) && Calls().FSync(FFd->Get()) == 0) {
            FMark = mark = size;
            FBase = FEnd;
        }
    }
    Saved.AppendItems(
        [&](const std::function<void(std::string_view)>& Take) {
            for (const std::string& item : FPending) Take(item);
            if (WithRun) FRun.ForEach([&](std::string&& Item) { Take(Item); });
        },
        mark);
    RemoveFile();
}

void TReceivedJournal::Recover(const TSavedMessages& Saved) {
    if (!Open(false)) return;
    // A journal emptied before the crash has nothing to save: don't create a
    // saved-messages file just for it.
    if (FPending.empty()) {
        RemoveFile();
        return;
    }
    Save(Saved, false, true);
}

bool TReceivedJournal::Append(const TStringList& Entry) {
    FRunOn = true;
    if (Entry.empty()) return true;
    // Out of step with the list, the journal is written anew like after a
    // failure.
    if (!FFailing && Open(true) && FRunItems + Entry.size() == FRun.size() && FitsRecords(Entry) &&
        WriteAt(journal::Record(FTag, Entry))) {
        FRunItems += Entry.size();
        RequestFlush();
        return true;
    }
    return Repair();
}

bool TReceivedJournal::Reset(bool Saving) {
    FRunOn = Saving;
    const bool wanted = Saving && !FRun.empty();
    if (!FFd && !wanted) {
        Repaired();
        return true;
    }
    if (FFd && !wanted) {
        if (!TruncateTo(FBase)) {
            Failed(FError);
            return false;
        }
        FRunItems = 0;
        Repaired();
        return true;
    }
    return Repair();
}

void TReceivedJournal::SaveOnExit(const TSavedMessages& Saved) {
    FRunOn = true;
    bool whole = !FFailing && FRunItems == FRun.size();
    // A journal behind the list is brought up to it, so that the mark speaks
    // of what is appended.
    if (!whole && !FRun.empty()) whole = Rewrite();
    Save(Saved, true, whole);
}

void TReceivedJournal::Discard() {
    FRunOn = false;
    if (!FFd) return;
    if (FPending.empty()) {
        RemoveFile();
    } else {
        if (Calls().FTruncate(FFd->Get(), static_cast<off_t>(FBase)) == 0)
            Calls().FSync(FFd->Get());
        FFd.reset();
        ++FGeneration;
    }
}
