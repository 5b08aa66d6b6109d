#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QStringList>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder, so no test ever
// touches a user's files. Called by the test mains before anything else.
void PrepareEnvironment();
void CleanEnvironment();

// The temporary folder of this test process (HOME points here).
std::string TempDir();

// A TCP port nobody uses right now, outside the range the kernel picks
// outgoing ports from; the port after it is free too.
int FreeTcpPort();

// Runs the event loop until pred() holds or the time is up; returns pred().
// The default bound only ends a wait that has failed: it is generous, for a
// machine busy with other work.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 20000);

// Runs the event loop for about ms milliseconds.
void ProcessEventsFor(int ms);

// Folder of the built programs (build/), for tests that start real processes.
std::string BuildDir();

// A run of Program with Args, Input on its standard input, while the event
// loop turns; killed, and not finished, at LimitMs. Unset: names of variables
// taken out of its environment.
struct TRun {
    bool finished = false;
    int exitCode = -1;  // -1 unless it exited normally
    std::string out, err;
    double seconds = 0;
};
TRun RunProgram(const QString& Program, const QStringList& Args, const std::string& Input = {},
                int LimitMs = 90000, const std::string& OutputFile = {},
                const QStringList& Unset = {});

// A run of the real wexlo-send; Launcher: a command that runs it elsewhere,
// e.g. in another network namespace.
TRun RunSendTool(const std::vector<std::string>& Args, const std::string& Input = {},
                 int LimitMs = 20000, const std::string& OutputFile = {},
                 const std::vector<std::string>& Launcher = {});

// Writes a whole file; reads a whole file ("" when missing).
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// Auto-response at start: off, with the text asked for, or with the default
// message "Away".
enum class TAwayAtStart { Off, Asked, DefaultMessage };

// A settings file with the values up to the message port, in the order
// loading reads them, with sound and the splash off. Talk Port and Recent
// hosts are missing, so only a save can bring them in.
std::string SettingsUpToPort(int port, bool saveMessages = false,
                             TAwayAtStart away = TAwayAtStart::Off);

}  // namespace testsupport
