#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"

// The per-user settings store: one text file in the registry editor's export
// format (REGEDIT4), holding keys by their full path under HKEY_CURRENT_USER.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Drelmo Soft\Wexlo]
//   "Show alert on message"=dword:00000001
//   "Response message"="I'll be absent\r\nfor five minutes"
//   "Some expandable text"=hex(2):41,42,00
//
// Key paths and value names compare without regard to ASCII case, as the
// registry does. Keys, values and lines this program does not touch are kept
// as they stand. A key's changes reach the file when the key is closed, in one
// atomic replacement of the file.
//
// A file exported by the Windows registry editor ("Windows Registry Editor
// Version 5.00", usually UTF-16LE with a byte-order mark) is read too: its
// texts, the hex(1), hex(2) and hex(7) data included, become UTF-8. The first
// change written turns it into the form above and keeps the export as a .bad
// file beside it.
//
// A symbolic link at the path is followed: the file it leads to is read and
// replaced, and the link stays. What is not a regular file is never read.

// Value types, numbered as the registry numbers them. Any other number is
// stored and returned unchanged.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;

// Data as the registry holds it: a REG_SZ text with its terminating NUL, a
// REG_DWORD as four bytes, low byte first.
struct TRegValue {
    std::uint32_t Type = REG_NONE;
    std::string Data;

    bool operator==(const TRegValue&) const = default;
};

TRegValue DwordValue(std::uint32_t Number);
TRegValue TextValue(std::uint32_t Type, const std::string& Text);  // appends the NUL

// The store cannot be read, parsed or written.
class ERegistryError : public Exception {
public:
    using Exception::Exception;
};

// The file is there but is no registry file (or no regular file at all).
class ERegistryUnparsable : public ERegistryError {
public:
    using ERegistryError::ERegistryError;
};

class TRegKey;

class TRegistryFile {
public:
    // ${XDG_CONFIG_HOME:-$HOME/.config}/wexlo/settings.reg
    static std::string DefaultPath();

    explicit TRegistryFile(std::string Path = DefaultPath());

    const std::string& Path() const { return FPath; }
    // Where a file that cannot be parsed is moved before a fresh one is written.
    std::string BadPath() const { return FPath + ".bad"; }

    // The file a save replaces: the target of a link at Path() when that is a
    // regular file (or missing), otherwise Path() itself.
    std::string FilePath() const;
    // Where a save that keeps the old file aside puts it now: the first free
    // of FilePath() + ".bad", ".bad.1", ".bad.2", ...
    std::string NextBadPath() const;

    // KeyPath is relative to HKEY_CURRENT_USER ("Software\Drelmo Soft\Wexlo").
    // OpenKey returns null when the key does not exist; a parent of an existing
    // key exists too. Both throw ERegistryError when the file cannot be read,
    // and OpenKey ERegistryUnparsable when it cannot be parsed. CreateKey on an
    // unparsable file starts from an empty store; the old file is kept at
    // NextBadPath() when the key is closed.
    std::unique_ptr<TRegKey> OpenKey(const std::string& KeyPath) const;
    std::unique_ptr<TRegKey> CreateKey(const std::string& KeyPath) const;

private:
    std::unique_ptr<TRegKey> Open(const std::string& KeyPath, bool Create) const;

    std::string FPath;
};

class TRegKey {
public:
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;
    // Closes the key; a failure to commit is lost here, so callers that care
    // call Close() themselves.
    ~TRegKey();

    std::optional<TRegValue> QueryValue(const std::string& Name) const;
    void SetValue(const std::string& Name, TRegValue Value);
    // False when there was no such value.
    bool DeleteValue(const std::string& Name);

    // The commit keeps the file as it was at NextBadPath(), as it does for a
    // file that cannot be parsed.
    void KeepOldFileAside() { FKeepOldFile = true; }

    // Commits the changes made through this key: the file is read again, the
    // changes applied, and the result written to a temporary file in the same
    // folder, flushed to disk and renamed over the store. Nothing is written
    // when nothing changed. Throws ERegistryError; the key is closed either way.
    void Close();

private:
    friend class TRegistryFile;
    struct TChange {
        std::string Name;
        std::optional<TRegValue> Value;  // none: delete
    };

    TRegKey(std::string File, std::string Key, bool Create,
            std::vector<std::pair<std::string, TRegValue>> Values);

    std::string FFile;
    std::string FKey;  // full path, "HKEY_CURRENT_USER\..."
    bool FCreate;      // the key must exist after the commit, even without values
    bool FClosed = false;
    bool FKeepOldFile = false;
    std::vector<std::pair<std::string, TRegValue>> FValues;
    std::vector<TChange> FChanges;
};
