#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/MessageLog.h"
#include "store/PosixFile.h"

class TSavedMessages;

// Recovery journal of the received messages, so that a crash, a kill or a power
// cut loses nothing that a clean exit would have appended to the saved-messages
// file. While saving on exit is set, each received entry is appended here and
// synced to disk as it is recorded. A clean exit removes the journal after the
// saved-messages file is written; a start that finds a journal left behind
// appends its entries to the saved-messages file first, as that run's exit
// would have.
//
// The file is a header followed by records. A record is its payload's length
// and CRC-32 (both 32-bit little-endian), then the payload: the entry's items,
// each as a 32-bit length and its bytes. Items may hold any byte. Reading stops
// at the first record that is short or fails its checksum, so a record torn by
// a crash mid-append is dropped and the ones before it are kept.
//
// The running copy holds an exclusive lock on the file; a second copy of the
// same user (another desktop session) neither recovers nor writes a journal it
// cannot lock.
class TReceivedJournal {
public:
    // ${XDG_STATE_HOME:-$HOME/.local/state}/wexlo/received.journal
    static std::string DefaultPath();

    explicit TReceivedJournal(std::string Path = DefaultPath());
    TReceivedJournal(const TReceivedJournal&) = delete;
    TReceivedJournal& operator=(const TReceivedJournal&) = delete;

    const std::string& Path() const { return FPath; }

    // At start: appends a journal left by a run that died to Saved and removes
    // it. When Saved cannot be written this raises its "Cannot create file %s";
    // the entries then stay in the journal and go out ahead of this run's at
    // SaveOnExit (or at the next start).
    void Recover(const TSavedMessages& Saved);

    // One received entry, on disk before this returns. False when it could not
    // be written (no folder, full disk, journal held by another copy); the run's
    // own list still has the entry.
    bool Append(const TStringList& Entry);

    // Makes the journal hold exactly Received for this run: empty for "Delete
    // received messages" and when saving on exit is switched off; the whole
    // list when it is switched on during a run. Entries of earlier runs stay.
    bool Reset(const TStringList& Received);

    // Clean exit with saving on: appends what earlier runs left, then Received,
    // to Saved, and removes the journal. On failure raises "Cannot create file
    // %s" and keeps the journal for the next start.
    void SaveOnExit(const TSavedMessages& Saved, const TStringList& Received);

    // Clean exit with saving off: this run's records go; entries of earlier
    // runs that could not be saved yet stay for the next start.
    void Discard();

    // Items of earlier runs not yet in the saved-messages file.
    const TStringList& Pending() const { return FPending; }

private:
    bool Open(bool Create);
    bool TruncateTo(std::size_t Size);
    bool WriteAt(const std::string& Bytes);
    void RemoveFile();

    std::string FPath;
    posixfile::TFd FFd;
    TStringList FPending;   // items left by earlier runs
    std::size_t FBase = 0;  // end of the earlier runs' records
    std::size_t FEnd = 0;   // end of the last whole record
};

// The framing, for the class above and its tests.
namespace journal {
extern const std::string Header;

std::string Record(const TStringList& Entry);

struct TContent {
    TStringList Items;  // of all whole records, in order
    std::size_t Records = 0;
    std::size_t ValidSize = 0;  // bytes up to the end of the last whole record
};

// Reads whole records up to the first short or damaged one. A file without
// the header yields nothing (ValidSize 0).
TContent Parse(std::string_view Bytes);

std::uint32_t Crc32(std::string_view Bytes);
}  // namespace journal
