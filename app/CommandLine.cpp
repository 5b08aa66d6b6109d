#include "app/CommandLine.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef WEXLO_VERSION
#define WEXLO_VERSION "unknown"
#endif

const char* const WexloUsage =
    "Usage: wexlo [--help | --version]\n"
    "\n"
    "Sends and receives short text messages between computers on the local\n"
    "network. Wexlo runs in the notification area (the tray) and listens on TCP\n"
    "port 13769; right-click its icon for the menu. One copy runs per desktop\n"
    "session. wexlo-send sends a message from the command line.\n"
    "\n"
    "Options:\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "The standard options of the Qt toolkit (such as -platform) are accepted.\n"
    "\n"
    "Exit status: 0 after Exit or a signal, 1 when no display can be opened,\n"
    "2 for a usage error.\n";

namespace {

// Qt's own options, with and without a value (Qt accepts them with one or
// two dashes, and "-name=value").
const char* const QtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "name",          "title",   "qmljsdebugger"};
const char* const QtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

enum class TQtOption { None, Flag, WithValue, WithValueAttached };

TQtOption QtOption(const std::string& Arg) {
    if (Arg.size() < 2 || Arg[0] != '-') return TQtOption::None;
    std::string name = Arg.substr(Arg.rfind("--", 0) == 0 ? 2 : 1);
    const std::size_t equals = name.find('=');
    const bool attached = equals != std::string::npos;
    if (attached) name.resize(equals);
    for (const char* option : QtOptionsWithValue)
        if (name == option) return attached ? TQtOption::WithValueAttached : TQtOption::WithValue;
    for (const char* flag : QtFlags)
        if (name == flag && !attached) return TQtOption::Flag;
    return TQtOption::None;
}

// False when the stream cannot take it (a full disk, a closed pipe).
bool WriteAll(int Fd, const std::string& Text) {
    std::size_t done = 0;
    while (done < Text.size()) {
        const ssize_t n = ::write(Fd, Text.data() + done, Text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Args) {
    TCommandLine result;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        if (a == "--help") return {TCommandLine::Help, {}};
        if (a == "--version") return {TCommandLine::Version, {}};
        switch (QtOption(a)) {
            case TQtOption::WithValue:
                if (++i == Args.size()) return {TCommandLine::UsageError, a + " needs a value"};
                continue;
            case TQtOption::Flag:
            case TQtOption::WithValueAttached:
                continue;
            case TQtOption::None:
                break;
        }
        if (a.size() > 1 && a[0] == '-')
            return {TCommandLine::UsageError, "unknown option '" + a + "'"};
        return {TCommandLine::UsageError, "unexpected argument '" + a + "'"};
    }
    return result;
}

std::optional<int> HandleCommandLine(int argc, char** argv) {
    const TCommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    std::string out;
    switch (line.Action) {
        case TCommandLine::Run:
            return std::nullopt;
        case TCommandLine::UsageError:
            WriteAll(STDERR_FILENO, "wexlo: " + line.Error + "\nTry 'wexlo --help'.\n");
            return 2;
        case TCommandLine::Help:
            out = WexloUsage;
            break;
        case TCommandLine::Version:
            out = "wexlo " WEXLO_VERSION "\n";
            break;
    }
    if (!WriteAll(STDOUT_FILENO, out)) {
        WriteAll(STDERR_FILENO, std::string("wexlo: cannot write standard output: ") +
                                    std::strerror(errno) + "\n");
        return 1;
    }
    return 0;
}
