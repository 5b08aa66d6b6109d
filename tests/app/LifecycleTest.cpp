// The real program as separate processes: one copy per session, the ways it is
// told to end, a taken port at start, and the received messages kept across
// runs and kills. Boxes are answered by the program's box-log hook.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>

#include "store/MessageLog.h"
#include "store/ReceivedJournal.h"
#include "store/Settings.h"
#include "tests/support/RawPeers.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TwoHosts.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WaitUntil;

const std::string AlreadyRunningBox =
    "Wexlo - Messages sending utility\tApplication already running\tInformation\tOk";
const std::string PortInUseBox =
    "Wexlo - Error\tUnexpected socket error:\\rWinsock: Port or address already in use.\tError\tOk";

using testsupport::SettingsUpToPort;
using testsupport::TAwayAtStart;

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
// never opens a connection the program would take for a message), in our own
// network namespace or in that of process pid.
bool Listening(int port, qint64 pid = 0) {
    std::ifstream table(pid ? "/proc/" + std::to_string(pid) + "/net/tcp" : "/proc/net/tcp");
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
        FBoxLog = FRoot / "boxes.log";
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
    std::string BoxLogPath() const { return FBoxLog.string(); }

    void WriteSettings(bool saveMessages, TAwayAtStart away = TAwayAtStart::Off) {
        testsupport::WriteFile(SettingsPath(), SettingsUpToPort(port, saveMessages, away));
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(BoxLogPath()));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Launcher: a command that runs the program, e.g. in another namespace.
    // keepErrors: standard error is kept for the test to read.
    QProcess* Start(bool logBoxes = true, bool keepErrors = false,
                    const QStringList& launcher = {}) {
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
        const QString exe = QString::fromStdString(Exe().string());
        process->setProgram(launcher.isEmpty() ? exe : launcher.front());
        if (!launcher.isEmpty()) process->setArguments(launcher.mid(1) << exe);
        process->setProcessChannelMode(keepErrors ? QProcess::ForwardedOutputChannel
                                                  : QProcess::ForwardedChannels);
        process->start();
        EXPECT_TRUE(process->waitForStarted(20000));
        FProcesses.push_back(std::move(process));
        return FProcesses.back().get();
    }

    QProcess* StartListening() {
        QProcess* process = Start();
        EXPECT_TRUE(WaitUntil([&] { return Listening(port); }, 30000)) << "not listening";
        return process;
    }

    static bool Ended(QProcess* process, int timeoutMs = 30000) {
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
        const auto run = testsupport::RunSendTool(
            {"--port", std::to_string(port), "--timeout", "10", "127.0.0.1", text}, {}, 30000);
        return run.exitCode == 0 ? run.out : "";
    }

    int port = 0;
    fs::path FRoot;
    fs::path FBoxLog;  // stays where it is when a test moves FRoot

private:
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

    ASSERT_TRUE(WaitUntil([&] { return !Boxes().empty(); }, 30000));
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
        30000));

    EndWith(program, SIGTERM);
    EXPECT_TRUE(HasAllValuesInOrder(ReadFile(SettingsPath())));
}

TEST_F(LifecycleTest, ABoxAboutTheSavedFileAtStartWaitsWhileTheProgramListens) {
    // A run that died left a message, and the saved-messages file cannot be
    // made: the real box says so and nobody answers it.
    WriteSettings(true);
    fs::create_directories(fs::path(JournalPath()).parent_path());
    testsupport::WriteFile(JournalPath(), journal::Header(1) + journal::Record(1, {"from the dead run"}));
    fs::create_directories(SavedPath());
    QProcess* program = Start(false);
    ASSERT_TRUE(WaitUntil([&] { return Listening(port); }, 30000)) << "the box holds the port up";
    EXPECT_NE(Send("while the box waits").find("Message sent to"), std::string::npos);
    EndWith(program, SIGTERM);
    // Neither message was lost: both wait in the journal for the next start.
    std::string journaled;
    for (const std::string& item : journal::Parse(ReadFile(JournalPath())).Items) journaled += item;
    EXPECT_EQ(Count(journaled, "from the dead run"), 1u);
    EXPECT_EQ(Count(journaled, "while the box waits"), 1u);
}

TEST_F(LifecycleTest, AutoResponseAtStartWithTheDefaultMessageGivesSendersTheAwayText) {
    WriteSettings(false, TAwayAtStart::DefaultMessage);
    QProcess* program = StartListening();
    const std::string out = Send("anyone home?");
    EXPECT_NE(out.find(" (127.0.0.1) has alerts disabled\nAuto-response from "), std::string::npos)
        << out;
    EXPECT_NE(out.find(" (127.0.0.1):\nAway\n"), std::string::npos) << out;
    EndWith(program, SIGTERM);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(LifecycleTest, SignalWhileTheAutoResponsePromptWaitsEndsItAndSaves) {
    // Asked for at start, the prompt waits before the main loop runs; nobody
    // answers it.
    WriteSettings(true, TAwayAtStart::Asked);
    QProcess* program = StartListening();
    const std::string out = Send("sent while the prompt waits");
    EXPECT_NE(out.find("Message sent to "), std::string::npos);
    EXPECT_EQ(out.find("Auto-response"), std::string::npos) << "the mode is on already: " << out;

    EndWith(program, SIGTERM);
    EXPECT_TRUE(HasAllValuesInOrder(ReadFile(SettingsPath())));
    EXPECT_EQ(Count(ReadFile(SavedPath()), "sent while the prompt waits"), 1u);
    EXPECT_FALSE(fs::exists(JournalPath()));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(LifecycleTest, TyposInAHandEditedLinkedFileCostOnlyThemselves) {
    // The settings live in a dotfiles folder; the usual place holds a link.
    const fs::path dotfiles = fs::path(SettingsPath()).parent_path().parent_path() / "dotfiles";
    fs::create_directories(dotfiles);
    const std::string target = (dotfiles / "settings.reg").string();
    std::string file = SettingsUpToPort(port, false) +
                       "\"Talk Port\"=\"abc\"\r\n"
                       "\"Recent hosts\"=\"alpha\\r\\nbeta\\r\\n\"\r\n";
    for (const auto& [good, typo] :
         {std::pair<std::string, std::string>{"\"Show alert on message\"=dword:00000001",
                                              "\"Show alert on message\"=\"0\""},
          {"\"Play sound\"=dword:00000000", "\"Play sound\"=\"0\""}})
        file.replace(file.find(good), good.size(), typo);
    testsupport::WriteFile(target, file);
    fs::create_symlink("../dotfiles/settings.reg", SettingsPath());

    QProcess* program = StartListening();
    ASSERT_TRUE(WaitUntil([&] { return !Boxes().empty(); }, 10000));
    EndWith(program, SIGTERM);

    const std::string real = fs::canonical(target).string();
    EXPECT_EQ(Boxes(), std::vector<std::string>{
                           "Wexlo - Messages sending utility\tThese settings in " + real +
                           " could not be read and were replaced by their defaults:\\r"
                           "\"Show alert on message\"\\r\"Play sound\"\\r\"Talk Port\"\\r"
                           "The file as it was is kept as " +
                           real + ".bad.\tWarning\tOk"});
    EXPECT_TRUE(fs::is_symlink(SettingsPath()));
    EXPECT_EQ(ReadFile(real + ".bad"), file);
    const std::string saved = ReadFile(real);
    EXPECT_TRUE(HasAllValuesInOrder(saved)) << saved;
    char portLine[40];
    std::snprintf(portLine, sizeof portLine, "\"Port\"=dword:%08x\r\n", port);
    for (const std::string& line : std::vector<std::string>{
             "\"Show alert on message\"=dword:00000001\r\n", "\"Play sound\"=dword:00000001\r\n",
             "\"Start with Windows\"=dword:00000000\r\n", "\"Response message\"=\"Away\"\r\n",
             std::string(portLine), "\"Talk Port\"=dword:000035ca\r\n",
             "\"Recent hosts\"=\"alpha\\r\\nbeta\\r\\n\"\r\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << line;
    EXPECT_FALSE(fs::exists(FRoot / "config/autostart"));
}

TEST_F(LifecycleTest, WithoutADisplayItSaysHowToGetOneAndFails) {
    // From a build tree it speaks of the build; installed, of what an
    // installed user has (share/wexlo/ beside bin/ makes the copy installed).
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "installed" : "build tree");
        if (installed) fs::create_directories(FRoot / "share/wexlo");
        QProcess program;
        auto env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("HOME", QString::fromStdString(FRoot.string()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString((FRoot / "config").string()));
        program.setProcessEnvironment(env);
        program.start(QString::fromStdString(Exe().string()), {});
        ASSERT_TRUE(program.waitForStarted(5000));
        ASSERT_TRUE(Ended(&program));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 1);
        const std::string said = program.readAllStandardError().toStdString();
        EXPECT_EQ(said.rfind("Wexlo needs a graphical desktop, and this shell has none", 0), 0u)
            << said;
        EXPECT_EQ(said.find("xvfb-run -a") != std::string::npos, !installed) << said;
        EXPECT_EQ(said.find("make run") != std::string::npos, !installed) << said;
        EXPECT_FALSE(fs::exists(FRoot / "config/wexlo/settings.reg"));
    }
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

// A small tmpfs of the test's own at Path, gone with the object (lazily, should
// a process still hold it).
class TTmpfs {
public:
    TTmpfs(const fs::path& Path, std::uintmax_t Bytes) : FPath(Path) {
        fs::create_directories(Path);
        const std::string options = "size=" + std::to_string(Bytes) + ",mode=0700";
        const std::string source = "wexlo-test-" + std::to_string(::getpid());
        Mounted = ::mount(source.c_str(), Path.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!Mounted) Error = std::strerror(errno);
    }
    ~TTmpfs() {
        if (Mounted) ::umount2(FPath.c_str(), MNT_DETACH);
    }
    TTmpfs(const TTmpfs&) = delete;
    TTmpfs& operator=(const TTmpfs&) = delete;

    bool ReadOnly() {
        return ::mount(nullptr, FPath.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    bool Mounted = false;
    std::string Error;

private:
    fs::path FPath;
};

// Fills the file system holding Dir to the last byte.
void Fill(const fs::path& Dir) {
    const int fd = ::open((Dir / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    for (std::size_t size = block.size(); fd >= 0 && size > 0;)
        if (::write(fd, block.data(), size) < 0) size = errno == ENOSPC ? size / 2 : 0;
    if (fd >= 0) ::close(fd);
}

TEST_F(LifecycleTest, AFullDiskOrAReadOnlyFolderIsToldAndLosesNothingStored) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full ? "full disk" : "read-only folders");
        // The program, its settings, journal and saved messages on one small disk.
        const fs::path root = FRoot;
        TTmpfs disk(root / (full ? "full" : "ro"), fs::file_size(Exe()) + (256 << 10));
        if (!disk.Mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error;
        FRoot = root / (full ? "full" : "ro");
        for (const char* sub : {"config/wexlo", "state/wexlo", "bin"})
            fs::create_directories(FRoot / sub);
        fs::create_directory_symlink(root / "runtime", FRoot / "runtime");
        fs::copy_file(root / "bin/wexlo", Exe());
        WriteSettings(true);
        const std::string settings = ReadFile(SettingsPath());
        // Whole pages, so that any byte more needs space the disk lacks.
        const std::string old = std::string(8190, 's') + "\r\n";
        testsupport::WriteFile(SavedPath(), old);
        if (full) {
            Fill(FRoot);
        } else {
            ASSERT_TRUE(disk.ReadOnly()) << std::strerror(errno);
        }

        QProcess* program = Start(true, true);
        ASSERT_TRUE(WaitUntil([&] { return Listening(port); }, 30000)) << "not listening";
        EXPECT_NE(Send("while the disk fails").find("Message sent to"), std::string::npos);
        // Still serving after the failed journal write was told.
        ASSERT_TRUE(WaitUntil([&] { return !Boxes().empty(); }, 30000));
        EXPECT_NE(Send("and still taking messages").find("Message sent to"), std::string::npos);
        EndWith(program, SIGTERM);

        const std::string boxes = [&] {
            std::string all;
            for (const std::string& box : Boxes()) all += box + "\n";
            return all;
        }();
        // The journal's box names the real reason; the end by signal reports
        // on standard error instead of waiting on a box.
        EXPECT_NE(boxes.find(JournalPath() + " (" + std::strerror(full ? ENOSPC : EROFS) + ")"),
                  std::string::npos)
            << boxes;
        const std::string errors = program->readAllStandardError().toStdString();
        EXPECT_NE(errors.find("Error while writing in the Windows Registry."), std::string::npos)
            << errors;
        EXPECT_NE(errors.find("Cannot create file " + SavedPath()), std::string::npos) << errors;
        EXPECT_EQ(ReadFile(SettingsPath()), settings);
        EXPECT_EQ(ReadFile(SavedPath()), old);
        // No temporary file is left beside the settings.
        EXPECT_EQ(
            std::distance(fs::directory_iterator(FRoot / "config/wexlo"), fs::directory_iterator()),
            1);

        // With room again, the next run saves as usual.
        if (full) {
            fs::remove(FRoot / "filler");
        } else {
            ASSERT_EQ(::mount(nullptr, FRoot.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
        }
        program = StartListening();
        EXPECT_NE(Send("with room again").find("Message sent to"), std::string::npos);
        EndWith(program, SIGTERM);
        const std::string saved = ReadFile(SavedPath());
        EXPECT_EQ(saved.rfind(old, 0), 0u);
        EXPECT_EQ(Count(saved, "with room again"), 1u);
        EXPECT_TRUE(HasAllValuesInOrder(ReadFile(SettingsPath())));
        FRoot = root;
    }
}

using TTwoHosts = testsupport::TwoHosts;

// Milliseconds from sending a request from the sender's host to the reply's
// arrival; -1 when there is none within 10 s.
double ReplyAfterMs(const TTwoHosts& hosts, int port, const std::string& request) {
    int fd = -1;
    {
        TTwoHosts::Inside inside(hosts.Sender);
        if (inside.Entered) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return -1;
    const sockaddr_in to = testsupport::Address(TTwoHosts::ReceiverAddress, port);
    double ms = -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const auto start = std::chrono::steady_clock::now();
        pollfd p{fd, POLLIN, 0};
        char reply[64];
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()) &&
            ::poll(&p, 1, 10000) == 1 && ::recv(fd, reply, sizeof reply, 0) > 0)
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count();
    }
    ::close(fd);
    return ms;
}

TEST_F(LifecycleTest, LongMessagesArriveWholeOverASlowLink) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
    TTwoHosts hosts;
    if (!hosts.Ready) GTEST_SKIP() << "cannot make two hosts here: " << hosts.Error;
    // Alerts off: the unread count keeps a megabyte out of a window.
    std::string settings = SettingsUpToPort(port, true);
    const std::string alertOn = "\"Show alert on message\"=dword:00000001";
    settings.replace(settings.find(alertOn), alertOn.size(),
                     "\"Show alert on message\"=dword:00000000");
    testsupport::WriteFile(SettingsPath(), settings);
    QProcess* program =
        Start(true, false, {"ip", "netns", "exec", QString::fromStdString(hosts.Receiver)});
    ASSERT_TRUE(WaitUntil([&] { return Listening(port, program->processId()); }, 10000));

    // Without a pause to wait for: a request shorter than a segment is whole.
    // The least of a few tries keeps a busy machine from looking like a delay.
    const std::string shortRequest = "\b0150\r\n\b" + std::string(100, 's');
    double fastest = 1e9;
    for (int i = 0; i < 5; ++i) {
        const double ms = ReplyAfterMs(hosts, port, shortRequest);
        ASSERT_GE(ms, 0) << "no reply to a short message";
        fastest = std::min(fastest, ms);
    }
    std::cout << "[ measured ] short message answered after " << fastest << " ms\n";
    EXPECT_LT(fastest, 200) << "the least wait for the end of a long request";

    std::vector<std::string> texts;
    for (const std::size_t size :
         {std::size_t(1) << 10, std::size_t(64) << 10, std::size_t(1) << 20}) {
        std::string text = "[" + std::to_string(size) + "]";
        while (text.size() < size) text += static_cast<char>('a' + text.size() * 7 % 26);
        texts.push_back(text);
        const auto tool = testsupport::RunSendTool(
            {"--port", std::to_string(port), "--timeout", "30", TTwoHosts::ReceiverAddress}, text,
            40000, {}, hosts.OnSender());
        ASSERT_TRUE(tool.finished) << size;
        EXPECT_EQ(tool.exitCode, 0) << size << ": " << tool.err;
        EXPECT_EQ(tool.out.rfind("Message sent to ", 0), 0u) << size;
    }

    EndWith(program, SIGTERM);
    const std::string saved = ReadFile(SavedPath());
    EXPECT_EQ(Count(saved, std::string(100, 's') + "\r\n\r\n\r\n"), 5u);
    for (const std::string& text : texts)
        EXPECT_EQ(Count(saved, text + "\r\n\r\n\r\n"), 1u) << text.size() << " bytes cut";
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
