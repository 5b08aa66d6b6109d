// The real program as separate processes: one copy per session, the ways it is
// told to end, a taken port at start, and the received messages kept across
// runs and kills. Boxes are answered by the program's box-log hook.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>

#include "store/MessageLog.h"
#include "store/Settings.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WaitUntil;

const std::string AlreadyRunningBox =
    "Wexlo - Messages sending utility\tApplication already running\tInformation\tOk";
const std::string PortInUseBox =
    "Wexlo - Error\tUnexpected socket error:\\rWinsock: Port or address already in use.\tError\tOk";

// The values up to the message port, in the order loading reads them. Talk
// Port and Recent hosts are missing, so only a save can bring them in.
std::string SettingsUpToPort(int port, bool saveMessages) {
    char portValue[16];
    std::snprintf(portValue, sizeof portValue, "%08x", port);
    return std::string("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\r\n") +
           "\"Show alert on message\"=dword:00000001\r\n"
           "\"Show OnTop\"=dword:00000001\r\n"
           "\"Play sound\"=dword:00000000\r\n"
           "\"Use Windows default sound\"=dword:00000000\r\n"
           "\"Use custom sound\"=dword:00000001\r\n"
           "\"Sound file\"=\"\"\r\n"
           "\"Show splash window\"=dword:00000000\r\n"
           "\"Start with Windows\"=dword:00000000\r\n"
           "\"Save messages on exit\"=dword:0000000" +
           (saveMessages ? "1" : "0") +
           "\r\n"
           "\"Enable auto-reponse on start\"=dword:00000000\r\n"
           "\"Auto-disable alerts\"=dword:00000001\r\n"
           "\"Ask for response message\"=dword:00000001\r\n"
           "\"Use default response\"=dword:00000000\r\n"
           "\"Response message\"=\"Away\"\r\n"
           "\"Port\"=dword:" +
           portValue + "\r\n";
}

// True when the names of all seventeen values stand in the file in table order.
bool HasAllValuesInOrder(const std::string& file) {
    std::size_t at = 0;
    for (const TSettingDef& def : SettingsTable) {
        at = file.find("\r\n\"" + std::string(def.Name) + "\"=", at);
        if (at == std::string::npos) return false;
    }
    return true;
}

// Someone listens on the IPv4 port (read from the kernel's table, so waiting
// never opens a connection the program would take for a message).
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = local.find(':');
        if (colon != std::string::npos && state == "0A" &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

// The process has a handler for the signal.
bool Catches(qint64 pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
}

// The main thread sleeps in poll(): an event loop waits for something to do.
bool WaitingForEvents(qint64 pid) {
    return ReadFile("/proc/" + std::to_string(pid) + "/wchan").find("poll") != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->name());
        for (char& c : name)
            if (c == '/') c = '_';
        FRoot = fs::path(testsupport::TempDir()) / name;
        fs::remove_all(FRoot);
        for (const char* sub : {"config/wexlo", "state", "runtime", "bin"})
            fs::create_directories(FRoot / sub);
        fs::permissions(FRoot / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        // The saved-messages file goes beside the executable as the kernel
        // names it, so the program runs from a folder of the test's own; a
        // symbolic link would lead back to the build folder.
        const fs::path program = fs::path(testsupport::BuildDir()) / "wexlo";
        std::error_code linkError;
        fs::create_hard_link(program, Exe(), linkError);
        if (linkError) fs::copy_file(program, Exe());
        port = testsupport::FreeTcpPort();
    }

    void TearDown() override {
        for (auto& process : FProcesses)
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
    }

    fs::path Exe() const { return FRoot / "bin" / "wexlo"; }
    std::string SettingsPath() const { return (FRoot / "config/wexlo/settings.reg").string(); }
    std::string SavedPath() const { return (FRoot / "bin" / "Saved messages.txt").string(); }
    std::string JournalPath() const { return (FRoot / "state/wexlo/received.journal").string(); }
    std::string BoxLogPath() const { return (FRoot / "boxes.log").string(); }

    void WriteSettings(bool saveMessages) {
        testsupport::WriteFile(SettingsPath(), SettingsUpToPort(port, saveMessages));
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(BoxLogPath()));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // keepErrors: standard error is kept for the test to read.
    QProcess* Start(bool logBoxes = true, bool keepErrors = false) {
        auto env = QProcessEnvironment::systemEnvironment();
        const auto at = [this](const char* sub) {
            return QString::fromStdString((FRoot / sub).string());
        };
        env.insert("HOME", at(""));
        env.insert("XDG_CONFIG_HOME", at("config"));
        env.insert("XDG_STATE_HOME", at("state"));
        env.insert("XDG_RUNTIME_DIR", at("runtime"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                 "SESSION_MANAGER", "WEXLO_MESSAGE_BOX_LOG"})
            env.remove(name);
        if (logBoxes) env.insert("WEXLO_MESSAGE_BOX_LOG", QString::fromStdString(BoxLogPath()));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setProgram(QString::fromStdString(Exe().string()));
        process->setProcessChannelMode(keepErrors ? QProcess::ForwardedOutputChannel
                                                  : QProcess::ForwardedChannels);
        process->start();
        EXPECT_TRUE(process->waitForStarted(5000));
        FProcesses.push_back(std::move(process));
        return FProcesses.back().get();
    }

    QProcess* StartListening() {
        QProcess* process = Start();
        EXPECT_TRUE(WaitUntil([&] { return Listening(port); }, 10000)) << "not listening";
        return process;
    }

    static bool Ended(QProcess* process, int timeoutMs = 10000) {
        return WaitUntil([&] { return process->state() == QProcess::NotRunning; }, timeoutMs);
    }

    // Signals the process and expects a clean end with status 0.
    static void EndWith(QProcess* process, int signal) {
        // A process that has ended has no id: kill(0) would hit the test itself.
        const qint64 pid = process->processId();
        ASSERT_GT(pid, 0) << "not running any more";
        ASSERT_EQ(::kill(static_cast<pid_t>(pid), signal), 0);
        ASSERT_TRUE(Ended(process)) << "still running after signal " << signal;
        EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process->exitCode(), 0);
    }

    // Sends one message with the real tool; its standard output, or "" on failure.
    std::string Send(const std::string& text) const {
        QProcess tool;
        tool.setProgram(QString::fromStdString(testsupport::BuildDir() + "/wexlo-send"));
        tool.setArguments({"--port", QString::number(port), "--timeout", "10", "127.0.0.1",
                           QString::fromStdString(text)});
        tool.start();
        if (!tool.waitForStarted(5000) || !tool.waitForFinished(15000)) return {};
        if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) return {};
        return tool.readAllStandardOutput().toStdString();
    }

    int port = 0;

private:
    fs::path FRoot;
    std::vector<std::unique_ptr<QProcess>> FProcesses;
};

TEST_F(LifecycleTest, SecondCopyIsRefusedAndTheFirstKeepsListening) {
    WriteSettings(false);
    const std::string settings = ReadFile(SettingsPath());
    QProcess* first = StartListening();

    QProcess* second = Start();
    ASSERT_TRUE(Ended(second));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    // One box and nothing else: no port was tried, no settings were written.
    EXPECT_EQ(Boxes(), std::vector<std::string>{AlreadyRunningBox});
    EXPECT_EQ(ReadFile(SettingsPath()), settings);

    EXPECT_NE(Send("still there?").find("Message sent to"), std::string::npos);
    EndWith(first, SIGTERM);
    EXPECT_EQ(Boxes().size(), 1u);

    // The lock went with the first copy.
    QProcess* next = StartListening();
    EndWith(next, SIGTERM);
    EXPECT_EQ(Boxes().size(), 1u);
}

class SignalTest : public LifecycleTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalTest, EndsTheRunAsExitDoesAndSavesTheSettings) {
    WriteSettings(false);
    ASSERT_FALSE(HasAllValuesInOrder(ReadFile(SettingsPath())));
    QProcess* program = StartListening();
    ASSERT_FALSE(Send("hello").empty());

    EndWith(program, GetParam());
    const std::string saved = ReadFile(SettingsPath());
    EXPECT_TRUE(HasAllValuesInOrder(saved)) << saved;
    char portLine[40];
    std::snprintf(portLine, sizeof portLine, "\"Port\"=dword:%08x\r\n", port);
    EXPECT_NE(saved.find(portLine), std::string::npos);
    EXPECT_NE(saved.find("\"Talk Port\"=dword:000035ca\r\n"), std::string::npos);
    EXPECT_TRUE(Boxes().empty());
    // Saving was off: this run's message was kept for the run only.
    EXPECT_FALSE(fs::exists(SavedPath()));
    EXPECT_FALSE(fs::exists(JournalPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP), [](const auto& info) {
        return std::string(info.param == SIGTERM ? "Term" : info.param == SIGINT ? "Int" : "Hup");
    });

// A listener of the test's own takes the message port first.
class PortHolder {
public:
    explicit PortHolder(int port) {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        held = FFd >= 0 && ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
               ::listen(FFd, 1) == 0;
    }
    ~PortHolder() {
        if (FFd >= 0) ::close(FFd);
    }
    bool held = false;

private:
    int FFd = -1;
};

TEST_F(LifecycleTest, PortInUseAtStartIsReportedAndTheProgramStaysUp) {
    WriteSettings(false);
    PortHolder holder(port);
    ASSERT_TRUE(holder.held);
    QProcess* program = Start();

    ASSERT_TRUE(WaitUntil([&] { return !Boxes().empty(); }, 10000));
    EXPECT_EQ(Boxes(), std::vector<std::string>{PortInUseBox});
    EXPECT_EQ(program->state(), QProcess::Running);
    // Still running its event loop: the signal is handled there.
    EndWith(program, SIGTERM);
    EXPECT_TRUE(HasAllValuesInOrder(ReadFile(SettingsPath())));
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(LifecycleTest, SignalWhileAStartUpBoxIsOpenStillEndsTheRun) {
    // The real, modal box: the form is still being made when the signal comes.
    WriteSettings(false);
    PortHolder holder(port);
    ASSERT_TRUE(holder.held);
    QProcess* program = Start(false);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const qint64 pid = program->processId();
            return Catches(pid, SIGTERM) && WaitingForEvents(pid);
        },
        10000));

    EndWith(program, SIGTERM);
    EXPECT_TRUE(HasAllValuesInOrder(ReadFile(SettingsPath())));
}

TEST_F(LifecycleTest, ThreeRunsWithOneMessageEachLeaveThreeEntriesInOrder) {
    WriteSettings(true);
    for (const char* text : {"first run", "second run", "third run"}) {
        QProcess* program = StartListening();
        ASSERT_FALSE(Send(text).empty()) << text;
        EndWith(program, SIGTERM);
        EXPECT_FALSE(fs::exists(JournalPath())) << text;
    }
    const std::string saved = ReadFile(SavedPath());
    const std::size_t first = saved.find("first run");
    const std::size_t second = saved.find("second run");
    const std::size_t third = saved.find("third run");
    ASSERT_NE(third, std::string::npos) << saved;
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(Count(saved, SeparatorLine), 3u);
    EXPECT_EQ(Count(saved, "first run") + Count(saved, "second run") + Count(saved, "third run"),
              3u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(LifecycleTest, KilledRunLosesNothingWhenSavingIsOn) {
    struct Case {
        bool saveMessages;
        bool kept;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        SCOPED_TRACE(c.saveMessages ? "saving on" : "saving off");
        fs::remove(SavedPath());
        WriteSettings(c.saveMessages);
        QProcess* program = StartListening();
        ASSERT_FALSE(Send("kept across a kill").empty());
        ::kill(static_cast<pid_t>(program->processId()), SIGKILL);
        ASSERT_TRUE(Ended(program));
        EXPECT_EQ(program->exitStatus(), QProcess::CrashExit);
        EXPECT_FALSE(fs::exists(SavedPath()));
        EXPECT_EQ(fs::exists(JournalPath()), c.saveMessages);

        // The next start recovers the journal before it listens, and its own
        // clean exit adds nothing twice.
        QProcess* next = StartListening();
        EXPECT_EQ(Count(ReadFile(SavedPath()), "kept across a kill"), c.kept ? 1u : 0u);
        EndWith(next, SIGTERM);
        EXPECT_EQ(Count(ReadFile(SavedPath()), "kept across a kill"), c.kept ? 1u : 0u);
        EXPECT_FALSE(fs::exists(JournalPath()));
    }
    EXPECT_TRUE(Boxes().empty());
}

// A signal never waits on a box, the real modal one included: a save that
// fails at the end is reported on standard error, and the journal keeps the
// messages for the next start.
TEST_F(LifecycleTest, ASignalNeverWaitsOnABox) {
    WriteSettings(true);
    fs::create_directories(SavedPath());  // in the way: the file cannot be created
    QProcess* program = Start(false, true);
    ASSERT_TRUE(WaitUntil([&] { return Listening(port); }, 10000)) << "not listening";
    ASSERT_FALSE(Send("kept for the next start").empty());

    EndWith(program, SIGTERM);
    const std::string errors = program->readAllStandardError().toStdString();
    EXPECT_NE(errors.find("wexlo: Wexlo - Messages sending utility: Cannot create file " +
                          SavedPath() + "\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(Count(ReadFile(JournalPath()), "kept for the next start"), 1u);

    fs::remove(SavedPath());
    QProcess* next = StartListening();
    EXPECT_EQ(Count(ReadFile(SavedPath()), "kept for the next start"), 1u);
    EndWith(next, SIGTERM);
    EXPECT_TRUE(Boxes().empty());
}

}  // namespace
