#include "Autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/InstalledCopy.h"

std::string TAutostart::DefaultPath() {
    return files::UserConfigDir() + "/autostart/Wexlo.desktop";
}

TAutostart::TAutostart(std::string Path) : FPath(std::move(Path)) {}

bool TAutostart::Enable(const std::string& ExecutablePath, std::string* Error) const {
    if (!files::MakeDirectories(files::DirectoryOf(FPath), 0700, Error)) return false;
    // Every save comes here; an entry already in place is not written again.
    const std::string entry = DesktopEntry(ExecutablePath);
    std::string existing;
    if (files::ReadRegularFile(FPath, existing) == files::TRead::Read && existing == entry)
        return true;
    return files::ReplaceFileAtomically(FPath, entry, 0644, Error);
}

bool TAutostart::Disable(std::string* Error) const {
    if (files::Calls().Unlink(FPath.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR)
        return true;
    if (Error) *Error = "Cannot remove " + FPath + ": " + std::strerror(errno);
    return false;
}

namespace {
// The key file's string escapes.
std::string KeyFileString(const std::string& Text) {
    std::string value;
    for (char c : Text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat a {}, b {};
    return ::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The first executable of that name on PATH, or "".
std::string FindOnPath(const std::string& Name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (dir.empty()) continue;
        const std::string candidate = std::string(dir) + "/" + Name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}
}  // namespace

std::string TAutostart::Command(const std::string& ExecutablePath) {
    // By name the entry runs whatever copy the package has in place, as the
    // package's own menu entry does; but only a name that leads to this very
    // program.
    if (!IsInstalledCopy(ExecutablePath)) return ExecutablePath;
    const std::string name = ExecutablePath.substr(ExecutablePath.rfind('/') + 1);
    return SameFile(FindOnPath(name), ExecutablePath) ? name : ExecutablePath;
}

std::string TAutostart::DesktopEntry(const std::string& ExecutablePath) {
    // TryExec: once the program is removed, the session starts nothing.
    const std::string command = Command(ExecutablePath);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Wexlo\n"
           "TryExec=" +
           KeyFileString(command) + "\nExec=" + ExecArgument(command) + "\n";
}

std::string TAutostart::ExecArgument(const std::string& ExecutablePath) {
    // Characters that make an argument need double quotes; inside them these
    // four still take a backslash.
    constexpr std::string_view Reserved = " \t\n\"'\\><~|&;$*?#()`";
    constexpr std::string_view EscapedInQuotes = "\"`$\\";

    const bool quote = ExecutablePath.find_first_of(Reserved) != std::string::npos;
    std::string arg;
    if (quote) arg += '"';
    for (char c : ExecutablePath) {
        if (c == '%') {
            arg += "%%";  // not a field code
            continue;
        }
        if (quote && EscapedInQuotes.find(c) != std::string_view::npos) arg += '\\';
        arg += c;
    }
    if (quote) arg += '"';

    // The key file's own string escapes apply before the quoting is read, so
    // every backslash is doubled once more.
    return KeyFileString(arg);
}
