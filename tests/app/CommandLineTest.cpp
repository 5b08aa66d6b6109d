#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QStringList>

#include "tests/support/TestSupport.h"

namespace {

TEST(CommandLine, OnlyHelpVersionAndTheToolkitsOptions) {
    using A = TCommandLine;
    const struct {
        std::vector<std::string> args;
        TCommandLine::TAction action;
        std::string error;
    } cases[] = {
        {{}, A::Run, ""},
        {{"--help"}, A::Help, ""},
        {{"--version"}, A::Version, ""},
        {{"-platform", "xcb", "--version"}, A::Version, ""},
        // What a session manager or a user may pass to the toolkit.
        {{"-session", "10d2f3e4a", "-platform", "xcb"}, A::Run, ""},
        {{"--style=fusion", "-reverse", "-qwindowtitle", "Wexlo"}, A::Run, ""},
        {{"-session"}, A::UsageError, "-session needs a value"},
        {{"--bogus"}, A::UsageError, "unknown option '--bogus'"},
        {{"-h"}, A::UsageError, "unknown option '-h'"},
        {{"-reverse=1"}, A::UsageError, "unknown option '-reverse=1'"},
        {{"deskpc"}, A::UsageError, "unexpected argument 'deskpc'"},
        {{"-"}, A::UsageError, "unexpected argument '-'"},
        {{""}, A::UsageError, "unexpected argument ''"},
        {{"deskpc", "--help"}, A::UsageError, "unexpected argument 'deskpc'"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        const TCommandLine line = ParseCommandLine(c.args);
        EXPECT_EQ(line.Action, c.action);
        EXPECT_EQ(line.Error, c.error);
    }
}

// The real program without any display: these answers must not need one.
testsupport::TRun RunWexlo(const QStringList& Args, const std::string& OutputFile = {}) {
    return testsupport::RunProgram(QString::fromStdString(testsupport::BuildDir() + "/wexlo"),
                                   Args, {}, 60000, OutputFile,
                                   {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
}

TEST(CommandLine, TheProgramAnswersWithoutADisplay) {
    const auto help = RunWexlo({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, WexloUsage);
    EXPECT_EQ(help.err, "");

    const auto version = RunWexlo({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "wexlo " WEXLO_VERSION "\n");

    const auto bogus = RunWexlo({"--bogus"});
    EXPECT_EQ(bogus.exitCode, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err, "wexlo: unknown option '--bogus'\nTry 'wexlo --help'.\n");

    // Output that cannot be written is a failure, not a success.
    const auto full = RunWexlo({"--help"}, "/dev/full");
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("wexlo: cannot write standard output: "), std::string::npos)
        << full.err;
}

}  // namespace
