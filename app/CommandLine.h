#pragma once

#include <optional>
#include <string>
#include <vector>

// The tray program's command line. It takes no arguments of its own besides
// --help and --version; the toolkit's standard options (-platform, -session
// from a session manager, -style ...) are left to the toolkit.

extern const char* const WexloUsage;

struct TCommandLine {
    enum TAction { Run, Help, Version, UsageError };
    TAction Action = Run;
    std::string Error;  // for UsageError
};

// Args without the program name.
TCommandLine ParseCommandLine(const std::vector<std::string>& Args);

// Answers --help, --version and usage errors on the standard streams, before
// anything else starts (no display is needed for them). Returns the status to
// end with, or nothing when the program is to run.
std::optional<int> HandleCommandLine(int argc, char** argv);
