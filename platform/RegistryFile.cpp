#include "RegistryFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "platform/FileSystem.h"

namespace {

constexpr std::string_view Signature = "REGEDIT4";
// What the Windows registry editor writes since Windows 2000.
constexpr std::string_view UnicodeSignature = "Windows Registry Editor Version 5.00";
constexpr std::string_view Root = "HKEY_CURRENT_USER";
constexpr std::size_t WrapColumn = 78;  // regedit keeps hex lines within 80 columns

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool StartsWithText(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, std::uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    out = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        out = out << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

std::string LowerText(std::string_view s) {
    std::string lower(s);
    for (char& c : lower) c = LowerAscii(c);
    return lower;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8; a surrogate without its partner becomes U+FFFD. False
// for an odd number of bytes.
bool Utf16LeToUtf8(std::string_view in, std::string& out) {
    if (in.size() % 2 != 0) return false;
    out.clear();
    out.reserve(in.size() / 2 + in.size() / 8);
    const auto unit = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(in[i]) |
                                          static_cast<unsigned char>(in[i + 1]) << 8);
    };
    for (std::size_t i = 0; i < in.size(); i += 2) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < in.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return true;
}

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

std::string FullKeyPath(const std::string& KeyPath) {
    std::string_view path(KeyPath);
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    std::string full(Root);
    if (!path.empty()) full.append("\\").append(path);
    return full;
}

// Quoted text: \\ \" \r \n and \xHH for the other bytes below 0x20 and 0x7F;
// every other byte stands for itself.
std::string Quote(std::string_view text) {
    static const char Digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += Digits[byte >> 4];
            out += Digits[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

// Reads the quoted text starting at s[pos] == '"'; pos ends after the closing
// quote. A backslash before anything but a known escape is taken literally,
// as hand-edited files may hold unescaped Windows paths.
bool Unquote(std::string_view s, std::size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= s.size()) return false;
        const char e = s[pos];
        if (e == '\\' || e == '"') {
            out += e;
            ++pos;
        } else if (e == 'r') {
            out += '\r';
            ++pos;
        } else if (e == 'n') {
            out += '\n';
            ++pos;
        } else if (e == 'x' && pos + 2 < s.size() && HexDigit(s[pos + 1]) >= 0 &&
                   HexDigit(s[pos + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[pos + 1]) << 4 | HexDigit(s[pos + 2]));
            pos += 3;
        } else {
            out += '\\';
        }
    }
    return false;
}

std::string HexTypePrefix(std::uint32_t type) {
    if (type == REG_BINARY) return "hex:";
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
    return buf;
}

// The lines of one value, as regedit writes them.
std::vector<std::string> FormatValue(const std::string& name, const TRegValue& value) {
    std::string line = name.empty() ? std::string("@") : Quote(name);
    line += '=';
    const std::string& data = value.Data;
    if (value.Type == REG_SZ && !data.empty() && data.back() == '\0') {
        line += Quote(std::string_view(data).substr(0, data.size() - 1));
        return {line};
    }
    if (value.Type == REG_DWORD && data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(data[i]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
        return {line + buf};
    }
    // Anything else, including texts without their NUL, keeps every byte as hex.
    static const char Digits[] = "0123456789abcdef";
    std::vector<std::string> lines;
    line += HexTypePrefix(value.Type);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        line += Digits[byte >> 4];
        line += Digits[byte & 15];
        if (i + 1 == data.size()) break;
        line += ',';
        if (line.size() + 3 > WrapColumn) {
            line += '\\';
            lines.push_back(std::move(line));
            line = "  ";
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

enum class TLineKind { Value, Deletion, Bad };

// One value line with its continuation lines already joined. In an export of
// the Windows editor (Unicode) the hex forms of texts hold UTF-16LE.
TLineKind ParseValue(std::string_view line, bool unicode, std::string& name, TRegValue& value) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        name.clear();
        pos = 1;
    } else if (!Unquote(line, pos, name)) {
        return TLineKind::Bad;
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return TLineKind::Bad;
    rest = TrimRight(TrimLeft(rest.substr(1)));
    if (rest == "-") return TLineKind::Deletion;

    if (!rest.empty() && rest.front() == '"') {
        std::size_t end = 0;
        std::string text;
        if (!Unquote(rest, end, text) || end != rest.size()) return TLineKind::Bad;
        value = TextValue(REG_SZ, text);
        return TLineKind::Value;
    }
    if (StartsWithText(rest, "dword:")) {
        std::uint32_t n;
        if (!ParseHex32(rest.substr(6), n)) return TLineKind::Bad;
        value = DwordValue(n);
        return TLineKind::Value;
    }
    std::uint32_t type;
    if (StartsWithText(rest, "hex:")) {
        type = REG_BINARY;
        rest.remove_prefix(4);
    } else if (StartsWithText(rest, "hex(")) {
        const std::size_t close = rest.find("):");
        if (close == std::string_view::npos || !ParseHex32(rest.substr(4, close - 4), type))
            return TLineKind::Bad;
        rest.remove_prefix(close + 2);
    } else {
        return TLineKind::Bad;
    }
    value.Type = type;
    value.Data.clear();
    rest = TrimLeft(rest);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view token = TrimRight(TrimLeft(rest.substr(0, comma)));
        std::uint32_t byte;
        if (token.size() > 2 || !ParseHex32(token, byte)) return TLineKind::Bad;
        value.Data += static_cast<char>(byte);
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
        if (TrimLeft(rest).empty()) return TLineKind::Bad;  // a dangling comma
    }
    std::string text;
    if (unicode && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) &&
        Utf16LeToUtf8(value.Data, text))
        value.Data = std::move(text);
    return TLineKind::Value;
}

// A value line whose quoted text goes on past the end of the line. The Windows
// editor writes line breaks inside a text as they are.
bool EndsInsideQuotedText(std::string_view line) {
    std::size_t pos = 0;
    std::string scratch;
    if (line.empty()) return false;
    if (line[0] == '@')
        pos = 1;
    else if (!Unquote(line, pos, scratch))
        return false;
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    rest = TrimLeft(rest.substr(1));
    if (rest.empty() || rest.front() != '"') return false;
    std::size_t end = 0;
    return !Unquote(rest, end, scratch);
}

// Whether a line that goes on inside quoted text closes it. An escaped quote
// or backslash does not; any other backslash stands for itself.
bool ClosesQuotedText(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') return true;
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"'))
            ++i;
    }
    return false;
}

// The file as read: every line we do not understand is kept as it stands, and
// a value keeps its original lines until it is changed.
struct TEntry {
    bool IsValue = false;
    std::vector<std::string> Lines;  // empty for a value changed since it was read
    std::string Name;
    TRegValue Value;
};

struct TSection {
    std::string Path;  // between the brackets
    std::vector<TEntry> Entries;
};

struct TDocument {
    bool Unicode = false;  // read from an export of the Windows editor
    std::string Eol = "\n";
    std::vector<std::string> Preamble{""};  // between the signature and the first key
    std::vector<TSection> Sections;
};

bool Parse(const std::string& raw, TDocument& doc) {
    std::string converted;
    if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE' &&
        !Utf16LeToUtf8(std::string_view(raw).substr(2), converted))
        return false;
    const std::string& bytes = converted.empty() ? raw : converted;
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        lines.emplace_back(bytes, start, end - start);
        start = end + 1;
    }
    if (lines.empty()) return false;
    // Lines end as the first one does; a stray CR elsewhere stays part of its
    // line, so that writing the file back never eats one.
    doc.Eol = !lines[0].empty() && lines[0].back() == '\r' ? "\r\n" : "\n";
    if (doc.Eol.size() == 2)
        for (std::string& line : lines)
            if (!line.empty() && line.back() == '\r') line.pop_back();

    std::string_view first(lines[0]);
    if (first.substr(0, 3) == "\xEF\xBB\xBF") first.remove_prefix(3);
    if (TrimRight(first) == UnicodeSignature)
        doc.Unicode = true;
    else if (TrimRight(first) != Signature)
        return false;

    doc.Preamble.clear();
    doc.Sections.clear();
    auto keep = [&](std::string line) {
        if (doc.Sections.empty())
            doc.Preamble.push_back(std::move(line));
        else
            doc.Sections.back().Entries.push_back({false, {std::move(line)}, {}, {}});
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = TrimRight(lines[i]);
        if (!line.empty() && line.front() == '[') {
            if (line.back() != ']') return false;
            if (line.size() > 1 && line[1] == '-') {
                keep(lines[i]);  // an import's delete directive, not a key
                continue;
            }
            doc.Sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        if (line.empty() || (line.front() != '"' && line.front() != '@')) {
            keep(lines[i]);
            continue;
        }
        if (doc.Sections.empty()) return false;
        TEntry entry;
        entry.IsValue = true;
        entry.Lines.push_back(lines[i]);
        std::string joined(line);
        if (doc.Unicode && EndsInsideQuotedText(lines[i])) {
            joined = lines[i];
            do {
                if (++i == lines.size()) return false;
                entry.Lines.push_back(lines[i]);
                joined.append("\r\n").append(lines[i]);
            } while (!ClosesQuotedText(lines[i]));
            joined = TrimRight(joined);
        }
        // Long hex data goes on over lines ending in a backslash; no other data
        // can end in one.
        while (joined.back() == '\\') {
            if (++i == lines.size()) return false;
            entry.Lines.push_back(lines[i]);
            joined.pop_back();
            joined += TrimRight(TrimLeft(lines[i]));
        }
        switch (ParseValue(joined, doc.Unicode, entry.Name, entry.Value)) {
            case TLineKind::Bad:
                return false;
            case TLineKind::Deletion:
                entry.IsValue = false;
                break;
            case TLineKind::Value:
                // Written again in our own form: the export's lines mean
                // something else under our signature.
                if (doc.Unicode) entry.Lines.clear();
                break;
        }
        doc.Sections.back().Entries.push_back(std::move(entry));
    }
    return true;
}

std::string Serialize(const TDocument& doc) {
    std::string out(Signature);
    out += doc.Eol;
    for (const std::string& line : doc.Preamble) out.append(line).append(doc.Eol);
    for (const TSection& section : doc.Sections) {
        out.append("[").append(section.Path).append("]").append(doc.Eol);
        for (const TEntry& entry : section.Entries) {
            const std::vector<std::string> lines =
                entry.Lines.empty() ? FormatValue(entry.Name, entry.Value) : entry.Lines;
            for (const std::string& line : lines) out.append(line).append(doc.Eol);
        }
    }
    return out;
}

bool KeyExists(const TDocument& doc, const std::string& key) {
    for (const TSection& section : doc.Sections) {
        const std::string_view path(section.Path);
        if (SameText(path, key) ||
            (path.size() > key.size() && path[key.size()] == '\\' && StartsWithText(path, key)))
            return true;
    }
    return false;
}

// The key's values as an import would leave them: a later line wins. A key
// may hold very many values, so names are looked up by hash.
std::vector<std::pair<std::string, TRegValue>> KeyValues(const TDocument& doc,
                                                         const std::string& key) {
    std::vector<std::pair<std::string, TRegValue>> values;
    std::unordered_map<std::string, std::size_t> index;
    for (const TSection& section : doc.Sections) {
        if (!SameText(section.Path, key)) continue;
        for (const TEntry& entry : section.Entries) {
            if (!entry.IsValue) continue;
            const auto [at, added] = index.try_emplace(LowerText(entry.Name), values.size());
            if (added)
                values.emplace_back(entry.Name, entry.Value);
            else
                values[at->second].second = entry.Value;
        }
    }
    return values;
}

bool IsBlank(const TEntry& entry) {
    return !entry.IsValue && entry.Lines.size() == 1 && TrimRight(entry.Lines[0]).empty();
}

TSection& EnsureSection(TDocument& doc, const std::string& key) {
    for (auto it = doc.Sections.rbegin(); it != doc.Sections.rend(); ++it)
        if (SameText(it->Path, key)) return *it;
    // Keys are separated by a blank line, as regedit writes them.
    if (doc.Sections.empty()) {
        if (doc.Preamble.empty() || !TrimRight(doc.Preamble.back()).empty())
            doc.Preamble.emplace_back();
    } else {
        auto& last = doc.Sections.back().Entries;
        if (last.empty() || !IsBlank(last.back())) last.push_back({false, {""}, {}, {}});
    }
    doc.Sections.push_back({key, {{false, {""}, {}, {}}}});
    return doc.Sections.back();
}

void SetInDocument(TDocument& doc, const std::string& key, const std::string& name,
                   const TRegValue& value) {
    TEntry* existing = nullptr;
    for (TSection& section : doc.Sections)
        if (SameText(section.Path, key))
            for (TEntry& entry : section.Entries)
                if (entry.IsValue && SameText(entry.Name, name)) existing = &entry;
    if (existing) {
        if (existing->Value == value) return;  // keep the line as it was written
        existing->Value = value;
        existing->Lines.clear();
        return;
    }
    TSection& section = EnsureSection(doc, key);
    // A new value follows the key's last value; in a key without values it
    // goes before the blank line that ends the key, ahead of whatever lines
    // follow that.
    auto& entries = section.Entries;
    auto pos = std::find_if(entries.rbegin(), entries.rend(), [](const TEntry& e) {
                   // A value's delete directive counts as a value line too.
                   return e.IsValue || (!e.Lines.empty() && !e.Lines[0].empty() &&
                                        (e.Lines[0][0] == '"' || e.Lines[0][0] == '@'));
               }).base();
    if (pos == entries.begin()) pos = std::find_if(entries.begin(), entries.end(), IsBlank);
    entries.insert(pos, {true, {}, name, value});
}

void DeleteInDocument(TDocument& doc, const std::string& key, const std::string& name) {
    for (TSection& section : doc.Sections) {
        if (!SameText(section.Path, key)) continue;
        std::erase_if(section.Entries, [&](const TEntry& entry) {
            return entry.IsValue && SameText(entry.Name, name);
        });
    }
}

// Where a chain of symbolic links at path ends; path itself when it is no
// link. A chain too long (or a loop) ends at a link.
std::string FollowLinks(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
        if (n <= 0) break;
        target.resize(static_cast<std::size_t>(n));
        at = target[0] == '/' ? target : files::DirectoryOf(at) + "/" + target;
    }
    if (at == path) return path;
    // The folder without "..", for the paths the user is shown.
    char real[PATH_MAX];
    if (!::realpath(files::DirectoryOf(at).c_str(), real)) return at;
    const std::string folder(real);
    return (folder == "/" ? "" : folder) + at.substr(at.rfind('/'));
}

// The store as it is on disk now. An empty file is an empty store; an export
// of the Windows editor reads as Imported.
enum class TFileState { Missing, Good, Imported, Bad };

struct TStoreFile {
    std::string Path;  // the file a save replaces
    TFileState State = TFileState::Missing;
    std::string Bytes;  // as read
};

TStoreFile LoadDocument(const std::string& path, TDocument& doc) {
    TStoreFile file;
    file.Path = FollowLinks(path);
    const files::TRead read = files::ReadRegularFile(file.Path, file.Bytes);
    if (read == files::TRead::OpenFailed || read == files::TRead::ReadFailed)
        throw ERegistryError(ErrnoText(read == files::TRead::OpenFailed ? "Cannot open" : "Cannot read",
                                       file.Path, errno));
    doc = TDocument();
    if (read == files::TRead::NotRegular) {
        // Not ours to write through: the name itself is replaced.
        file.Path = path;
        file.State = TFileState::Bad;
    } else if (read == files::TRead::Read && !file.Bytes.empty()) {
        file.State = !Parse(file.Bytes, doc) ? TFileState::Bad
                     : doc.Unicode           ? TFileState::Imported
                                             : TFileState::Good;
        if (file.State == TFileState::Bad) doc = TDocument();
    } else if (read == files::TRead::Read) {
        file.State = TFileState::Good;
    }
    return file;
}

// An earlier unreadable store kept as .bad is not overwritten by a later one:
// the next free of .bad, .bad.1, .bad.2, ...
std::string FreeBackupPath(const std::string& Base) {
    const std::string free = files::FreeSidePath(Base);
    return free.empty() ? Base : free;
}

}  // namespace

TRegValue DwordValue(std::uint32_t Number) {
    TRegValue value{REG_DWORD, std::string(4, '\0')};
    for (int i = 0; i < 4; ++i) value.Data[i] = static_cast<char>(Number >> (8 * i) & 0xFF);
    return value;
}

TRegValue TextValue(std::uint32_t Type, const std::string& Text) {
    TRegValue value{Type, Text};
    value.Data += '\0';
    return value;
}

std::string TRegistryFile::DefaultPath() {
    return files::UserConfigDir() + "/wexlo/settings.reg";
}

TRegistryFile::TRegistryFile(std::string Path) : FPath(std::move(Path)) {}

std::string TRegistryFile::FilePath() const {
    const std::string target = FollowLinks(FPath);
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) return target;
    return S_ISREG(st.st_mode) ? target : FPath;
}

std::string TRegistryFile::NextBadPath() const {
    return FreeBackupPath(FilePath() + ".bad");
}

std::unique_ptr<TRegKey> TRegistryFile::OpenKey(const std::string& KeyPath) const {
    return Open(KeyPath, false);
}

std::unique_ptr<TRegKey> TRegistryFile::CreateKey(const std::string& KeyPath) const {
    return Open(KeyPath, true);
}

std::unique_ptr<TRegKey> TRegistryFile::Open(const std::string& KeyPath, bool Create) const {
    const std::string key = FullKeyPath(KeyPath);
    TDocument doc;
    const TStoreFile file = LoadDocument(FPath, doc);
    if (file.State == TFileState::Bad && !Create)
        throw ERegistryUnparsable("The settings file " + file.Path +
                                  " cannot be read as a registry file");
    if (!Create && !KeyExists(doc, key)) return nullptr;
    return std::unique_ptr<TRegKey>(new TRegKey(FPath, key, Create, KeyValues(doc, key)));
}

TRegKey::TRegKey(std::string File, std::string Key, bool Create,
                 std::vector<std::pair<std::string, TRegValue>> Values)
    : FFile(std::move(File)), FKey(std::move(Key)), FCreate(Create), FValues(std::move(Values)) {}

TRegKey::~TRegKey() {
    try {
        Close();
    } catch (const ERegistryError&) {
    }
}

std::optional<TRegValue> TRegKey::QueryValue(const std::string& Name) const {
    for (const auto& [name, value] : FValues)
        if (SameText(name, Name)) return value;
    return std::nullopt;
}

void TRegKey::SetValue(const std::string& Name, TRegValue Value) {
    bool found = false;
    for (auto& [name, value] : FValues)
        if (SameText(name, Name)) {
            value = Value;
            found = true;
        }
    if (!found) FValues.emplace_back(Name, Value);
    FChanges.push_back({Name, std::move(Value)});
}

bool TRegKey::DeleteValue(const std::string& Name) {
    const auto removed =
        std::erase_if(FValues, [&](const auto& entry) { return SameText(entry.first, Name); });
    FChanges.push_back({Name, std::nullopt});
    return removed > 0;
}

void TRegKey::Close() {
    if (FClosed) return;
    FClosed = true;
    if (FChanges.empty() && !FCreate) return;

    // Read again, so that changes made meanwhile through other keys survive.
    TDocument doc;
    const TStoreFile file = LoadDocument(FFile, doc);
    if (FCreate) EnsureSection(doc, FKey);
    for (const TChange& change : FChanges) {
        if (change.Value)
            SetInDocument(doc, FKey, change.Name, *change.Value);
        else
            DeleteInDocument(doc, FKey, change.Name);
    }
    const std::string bytes = Serialize(doc);
    if (file.State == TFileState::Good && bytes == file.Bytes) return;

    const bool keepOld = file.State == TFileState::Bad || file.State == TFileState::Imported ||
                         (FKeepOldFile && file.State == TFileState::Good);
    std::string error;
    if (!files::MakeDirectories(files::DirectoryOf(file.Path), 0700, &error) ||
        !files::ReplaceFileAtomically(file.Path, bytes, 0600, &error,
                               keepOld ? FreeBackupPath(file.Path + ".bad") : std::string()))
        throw ERegistryError(error);
}
