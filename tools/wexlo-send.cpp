#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "platform/AvahiDiscovery.h"
#include "tools/PeerListing.h"
#include "tools/SendTool.h"

namespace {

// The first failed write on standard output, as errno; 0 while all went well.
int OutputError = 0;

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (fd == STDOUT_FILENO && OutputError == 0) OutputError = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Received text reaches a terminal defused; a pipe or file gets the exact bytes.
TSendTool::TWriter WriterFor(int fd) {
    const bool terminal = ::isatty(fd);
    return [fd, terminal](const std::string& text) {
        WriteAll(fd, terminal ? TerminalSafe(text) : text);
    };
}

// What was to be printed and could not be is a failure, whatever else worked.
int Finished(int ExitCode) {
    if (OutputError == 0) return ExitCode;
    WriteAll(STDERR_FILENO, std::string("wexlo-send: cannot write standard output: ") +
                                std::strerror(OutputError) + "\n");
    return ExitCode == SendExit::Sent ? SendExit::Failure : ExitCode;
}

bool ReadAll(int fd, std::string& out) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

int UsageError(const std::string& error) {
    WriteAll(STDERR_FILENO, "wexlo-send: " + error + "\nTry 'wexlo-send --help'.\n");
    return SendExit::Usage;
}

int ListPeers(int argc, char** argv, int TimeMs) {
    QCoreApplication app(argc, argv);
    TAvahiDiscovery discovery;  // the reason it cannot look is told at the end
    TPeerListing listing(discovery, TimeMs, WriterFor(STDOUT_FILENO), WriterFor(STDERR_FILENO));
    listing.Unavailable = [&discovery] { return discovery.Unavailable(); };
    listing.OnFinished = [](int code) { QCoreApplication::exit(code); };
    listing.Start();
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    const TSendArguments args = ParseSendArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (args.Help) {
        WriteAll(STDOUT_FILENO, SendUsage);
        return Finished(SendExit::Sent);
    }
    if (args.Version) {
        WriteAll(STDOUT_FILENO, "wexlo-send " WEXLO_VERSION "\n");
        return Finished(SendExit::Sent);
    }
    if (!args.Error.empty()) return UsageError(args.Error);
    if (args.List) return Finished(ListPeers(argc, argv, args.Options.TimeoutMs));

    TSendOptions options = args.Options;
    if (args.ReadStdin) {
        if (::isatty(STDIN_FILENO))
            WriteAll(STDERR_FILENO, "Type the message, then Ctrl-D on a line of its own.\n");
        std::string input;
        if (!ReadAll(STDIN_FILENO, input)) {
            WriteAll(STDERR_FILENO, std::string("wexlo-send: cannot read standard input: ") +
                                        std::strerror(errno) + "\n");
            return SendExit::Failure;
        }
        if (input.empty()) return UsageError("the message is empty");
        options.Message = LfToCrLf(input);
    }

    QCoreApplication app(argc, argv);
    // One host after the other, each with the whole time limit; the worst
    // outcome is the program's.
    int worst = SendExit::Sent;
    for (const std::string& host : args.Hosts) {
        options.Host = host;
        TSendTool tool(options, WriterFor(STDOUT_FILENO), WriterFor(STDERR_FILENO));
        tool.OnFinished = [](int code) { QCoreApplication::exit(code); };
        tool.Start();
        if (!tool.Finished()) app.exec();
        worst = std::max(worst, tool.ExitCode());
    }
    return Finished(worst);
}
