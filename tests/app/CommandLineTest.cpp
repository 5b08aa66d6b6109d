#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>

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

struct Result {
    int status = -1;
    std::string out, err;
};

// The real program without any display: these answers must not need one.
Result RunWexlo(const QStringList& Args, const QString& OutputFile = {}) {
    QProcess process;
    auto env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    process.setProcessEnvironment(env);
    if (!OutputFile.isEmpty()) process.setStandardOutputFile(OutputFile);
    process.start(QString::fromStdString(testsupport::BuildDir() + "/wexlo"), Args);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
    return result;
}

TEST(CommandLine, TheProgramAnswersWithoutADisplay) {
    const Result help = RunWexlo({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, WexloUsage);
    EXPECT_EQ(help.err, "");

    const Result version = RunWexlo({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "wexlo " WEXLO_VERSION "\n");

    const Result bogus = RunWexlo({"--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err, "wexlo: unknown option '--bogus'\nTry 'wexlo --help'.\n");

    // Output that cannot be written is a failure, not a success.
    const Result full = RunWexlo({"--help"}, "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("wexlo: cannot write standard output: "), std::string::npos)
        << full.err;
}

}  // namespace
