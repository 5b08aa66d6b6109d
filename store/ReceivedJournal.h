#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/MessageLog.h"
#include "platform/FileSystem.h"
#include "store/ReceivedList.h"

class QTimer;
class TDiskFlusher;
class TSavedMessages;

// Recovery journal of the received messages, so that a crash, a kill or a power
// cut loses nothing that a clean exit would have appended to the saved-messages
// file. While saving on exit is set it follows the run's list of received
// messages: each arrival is one write, which a crash or a kill of the process
// cannot undo, and a thread of its own flushes the file to disk at most once a
// second, so a power cut loses about the last second. A clean exit removes the
// journal after the saved-messages file is written; a start that finds a
// journal left behind appends its entries to the saved-messages file first, as
// that run's exit would have.
//
// A write that fails (a full disk, no free descriptor, the file held by another
// copy) leaves no gap behind: at the next arrival, or within a second, the
// journal is replaced whole from the run's list. OnWriteFailed tells the user
// once per streak of failures.
//
// The file is a header, the format's name and version and a random 64-bit tag
// of this file, followed by records. A record starts with a head: the tag, the
// payload's length, the payload's CRC-32 and the CRC-32 of these (all little-
// endian), then the payload: the entry's items, each as a 32-bit length and its
// bytes. Items may hold any byte. A payload that starts with 0xFFFFFFFF, which
// no item length can be, is a mark instead:
// the size of the saved-messages file (64-bit) when an append of the journal's
// entries to it began. Whoever saves the journal later resumes that append
// rather than repeating it, so each entry lands in the saved-messages file
// once, whenever a kill comes.
//
// Messages come from peers and may hold bytes shaped like records, so nothing
// inside the extent of a record whose head is whole is ever read as a record:
// a record torn by a crash at the end costs only itself. Past a damaged head,
// reading goes on at the next tag, which no peer knows. A damaged journal is
// kept beside it as it was (received.journal.bad, .bad.1, ...). A journal of
// the first format (no tags) is read once, up to its first damage, and written
// anew in this one. Anything at
// the path that is not a journal (a link, a FIFO, a device, a folder, another
// program's file) is never followed, read or truncated: it is moved aside to
// that name too, and a fresh journal started.
//
// The running copy holds an exclusive lock on the file; a second copy of the
// same user (another desktop session) neither recovers nor writes a journal it
// cannot lock.
class TReceivedJournal {
public:
    // ${XDG_STATE_HOME:-$HOME/.local/state}/wexlo/received.journal
    static std::string DefaultPath();

    // Received is the run's list of received messages, which the journal
    // follows; it outlives the journal.
    explicit TReceivedJournal(const TReceivedList& Received, std::string Path = DefaultPath());
    ~TReceivedJournal();
    TReceivedJournal(const TReceivedJournal&) = delete;
    TReceivedJournal& operator=(const TReceivedJournal&) = delete;

    const std::string& Path() const { return FPath; }

    // Called from the event loop, once per streak of failed writes, with the
    // text the user is to be told.
    std::function<void(const std::string& Text)> OnWriteFailed;

    // At start: appends a journal left by a run that died to Saved and removes
    // it. When Saved cannot be written this raises its "Cannot create file %s";
    // the entries then stay in the journal and go out ahead of this run's at
    // SaveOnExit (or at the next start).
    void Recover(const TSavedMessages& Saved);

    // The run's list has just gained Entry at its end, with saving on. False
    // when it could not be written; the journal is then replaced whole at the
    // next chance.
    bool Append(const TStringList& Entry);

    // The run's list changed otherwise ("Delete received messages"), or saving
    // on exit was switched: the journal holds the list when Saving, none of it
    // otherwise. Entries of earlier runs stay.
    bool Reset(bool Saving);

    // Clean exit with saving on: appends what earlier runs left, then the run's
    // list, to Saved, and removes the journal. On failure raises "Cannot create
    // file %s" and keeps the journal for the next start.
    void SaveOnExit(const TSavedMessages& Saved);

    // Clean exit with saving off: this run's records go; entries of earlier
    // runs that could not be saved yet stay for the next start.
    void Discard();

    // Items of earlier runs not yet in the saved-messages file.
    const TStringList& Pending() const { return FPending; }

    // The file misses something it should hold; it is being retried.
    bool Failing() const { return FFailing; }

private:
    using TFile = std::shared_ptr<files::TFd>;

    bool Open(bool Create);
    bool Take(TFile Fd, const std::string& Bytes);
    bool MoveAside(const std::string& What);
    bool Rewrite();
    bool Repair();
    bool WriteAt(const std::string& Bytes);
    bool TruncateTo(std::size_t Size);
    void RequestFlush();
    void Failed(int Error);
    void Repaired();
    void RemoveFile();
    void Save(const TSavedMessages& Saved, bool WithRun, bool Whole);

    const TReceivedList& FRun;
    std::string FPath;
    TFile FFd;
    std::uint64_t FGeneration = 0;  // of FFd: late news about a replaced file is ignored
    TStringList FPending;           // items left by earlier runs
    std::optional<std::uint64_t> FMark;
    std::uint64_t FTag = 0;     // of the open file's records
    std::size_t FBase = 0;      // end of the earlier runs' records
    std::size_t FEnd = 0;       // end of the last whole record
    std::size_t FRunItems = 0;  // items of the run's list in the file
    bool FRunOn = false;        // the file is to hold the run's list
    bool FFailing = false;
    bool FTold = false;  // the user knows of the current streak
    int FError = 0;      // errno of the last failed call
    std::unique_ptr<TDiskFlusher> FFlusher;
    std::unique_ptr<QTimer> FRetry;
};

// The framing, for the class above and its tests.
namespace journal {
std::string Header(std::uint64_t Tag);
std::string Record(std::uint64_t Tag, const TStringList& Entry);
std::string Mark(std::uint64_t Tag, std::uint64_t SavedSize);

// Head is the start of a journal (of either format), or of one torn while it
// was being created.
bool LooksLikeJournal(std::string_view Head);

struct TContent {
    TStringList Items;  // of all whole records, in order
    std::size_t Records = 0;
    std::size_t ValidSize = 0;               // bytes up to the end of the last whole record
    std::optional<std::uint64_t> SavedMark;  // of the last mark
    std::uint64_t Tag = 0;
    bool Damaged = false;  // something other than a torn last record was skipped
    bool Old = false;      // the first format
};

// Reads whole records, skipping damaged ones. A file without the header yields
// nothing (ValidSize 0).
TContent Parse(std::string_view Bytes);

std::uint32_t Crc32(std::string_view Bytes);
}  // namespace journal
