#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/MessageLog.h"

// The run's list of received messages, item by item, within a memory budget.
// Items are kept in memory while their bytes fit the budget; past it the
// oldest ones move to a spill file and are read back one at a time when
// someone needs them, so a flood of large messages costs disk, not memory,
// and nothing is lost. A spill file that cannot be written leaves the items
// in memory.
//
// The spill file lives in the user's cache folder, private (mode 0600), and is
// only made once something spills. It is removed when the list is destroyed.
// Nothing found at its path is followed or truncated unless it is a regular
// file of ours that no running copy holds (a run that died left it): links,
// folders, other users' files and a live copy's file are left alone, and a
// name beside it (.1, .2, ...) is used instead.
class TReceivedList {
public:
    static constexpr std::size_t DefaultBudget = std::size_t(192) << 20;

    // ${XDG_CACHE_HOME:-$HOME/.cache}/wexlo/received.spill
    static std::string DefaultSpillPath();

    explicit TReceivedList(std::size_t Budget = DefaultBudget,
                           std::string SpillPath = DefaultSpillPath());
    ~TReceivedList();
    TReceivedList(const TReceivedList&) = delete;
    TReceivedList& operator=(const TReceivedList&) = delete;

    std::size_t Budget() const { return FBudget; }
    void SetBudget(std::size_t Budget);

    std::size_t size() const { return FItems.size(); }
    bool empty() const { return FItems.empty(); }
    // Bytes of the items held in memory.
    std::size_t MemoryBytes() const { return FInMemory; }
    // All the items' bytes, wherever they are.
    std::uint64_t TotalBytes() const { return FTotal; }

    void Append(const TStringList& Entry);
    void clear();

    // Items read back where they were spilled. Raise "Cannot open file %s"
    // with the spill file's path when it cannot be read.
    std::string operator[](std::size_t Index) const;
    std::string back() const { return (*this)[size() - 1]; }
    operator TStringList() const;
    bool operator==(const TStringList& Other) const;
    // Every item in order, holding at most one spilled item in memory at a
    // time; Fn may keep the string it is given.
    void ForEach(const std::function<void(std::string&& Item)>& Fn) const;

    // Where items are spilled; empty until the first spill.
    const std::string& SpillFile() const { return FSpillFile; }

private:
    struct TItem {
        std::string Bytes;        // when in memory
        std::uint64_t Offset = 0;  // in the spill file, when spilled
        std::uint64_t Size = 0;
        bool Spilled = false;
    };

    void Spill();
    bool OpenSpill();
    void CloseSpill();
    std::string ReadBack(const TItem& Item) const;

    std::size_t FBudget;
    std::string FSpillBase;  // the path wanted; FSpillFile is the one taken
    std::string FSpillFile;
    int FFd = -1;
    std::uint64_t FSpillEnd = 0;
    std::vector<TItem> FItems;
    std::size_t FFirstInMemory = 0;  // items before it are all spilled
    std::size_t FInMemory = 0;
    std::uint64_t FTotal = 0;
};

// Items added the way the journal's tests and the main form's records add
// them to a plain list.
inline void Append(TReceivedList& List, const TStringList& Items) {
    List.Append(Items);
}

// The list's text as a viewer shows it (each item up to its first NUL, then
// CR LF), in a private file without a name in Dir, for a viewer that maps the
// text rather than hold it in memory. The file goes when the last user of it
// closes or unmaps it.
class TReceivedText {
public:
    TReceivedText(const TReceivedList& List, const std::string& Dir);
    ~TReceivedText();
    TReceivedText(const TReceivedText&) = delete;
    TReceivedText& operator=(const TReceivedText&) = delete;

    int Fd() const { return FFd; }  // -1 when it could not be written
    // "Cannot create file %s" with the folder.
    std::string FailureText() const { return "Cannot create file " + FDir; }

private:
    std::string FDir;
    int FFd = -1;
};
