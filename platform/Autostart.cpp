#include "Autostart.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/FileSystem.h"

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

std::string TAutostart::DesktopEntry(const std::string& ExecutablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Wexlo\n"
           "Exec=" +
           ExecArgument(ExecutablePath) + "\n";
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
    std::string value;
    for (char c : arg) {
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
