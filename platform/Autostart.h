#pragma once

#include <string>

// Starting the program with the desktop session: an XDG autostart entry,
// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/Wexlo.desktop, that runs the
// executable by its full path, or by its command name when it is installed.
class TAutostart {
public:
    static std::string DefaultPath();

    explicit TAutostart(std::string Path = DefaultPath());

    const std::string& Path() const { return FPath; }

    // Writes the entry atomically, creating the folder when needed. False, with
    // the reason in *Error when given, on failure.
    bool Enable(const std::string& ExecutablePath, std::string* Error = nullptr) const;
    // Removes the entry; an entry that is not there is no failure.
    bool Disable(std::string* Error = nullptr) const;

    // The file's content for this executable.
    static std::string DesktopEntry(const std::string& ExecutablePath);
    // What the entry runs: the command name when the executable is installed
    // (in a bin/ folder with share/wexlo/ beside it) and PATH finds it by that
    // name, otherwise its full path.
    static std::string Command(const std::string& ExecutablePath);
    // The program's path as one argument of an Exec line, quoted when the
    // Desktop Entry rules ask for it, and escaped for the key file.
    static std::string ExecArgument(const std::string& ExecutablePath);

private:
    std::string FPath;
};
