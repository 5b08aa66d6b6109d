#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "store/MessageLog.h"

// "Saved messages.txt" beside the executable: the received-message entries of
// earlier runs, one after the other, lines ended by CR LF.
class TSavedMessages {
public:
    explicit TSavedMessages(std::string Path) : FPath(std::move(Path)) {}

    // ExeDir + "/Saved messages.txt".
    static std::string PathIn(const std::string& ExeDir);

    const std::string& Path() const { return FPath; }

    // True when a regular file (or a link to one) is there.
    bool Exists() const;

    // Its size now; 0 when it is missing.
    std::uint64_t Size() const;

    // Appends the entries' text, creating the file when it is missing; every
    // byte already there is kept, and the new text starts on a line of its own.
    // Returns only once the data is on disk. On failure raises Exception
    // "Cannot create file %s" and leaves the file as it was.
    //
    // StartedAt is the file's size when an append of these entries began
    // earlier and may have been cut short: whatever part of their text stands
    // there already is not written again.
    void Append(const TStringList& Entries,
                std::optional<std::uint64_t> StartedAt = std::nullopt) const;

    // Items one after the other, each handed to Take in order; Take does not
    // keep them.
    using TItemSource =
        std::function<void(const std::function<void(std::string_view Item)>& Take)>;
    // The same for items handed out one at a time, so that a record of any
    // size is appended without being held in memory whole.
    void AppendItems(const TItemSource& Items,
                     std::optional<std::uint64_t> StartedAt = std::nullopt) const;

    // The whole file as bytes; raises "Cannot open file %s".
    std::string Read() const;

    // Deletes the file; a missing file is not an error. False when it stays,
    // then DeleteErrorText() is what the user is told.
    bool Delete() const;
    std::string DeleteErrorText() const;

private:
    std::string FPath;
};
