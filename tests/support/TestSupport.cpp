#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

namespace testsupport {
namespace {
std::string& TempRoot() {
    static std::string root;
    return root;
}
}  // namespace

void PrepareEnvironment() {
    char pattern[] = "/tmp/wexlo-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) throw std::runtime_error("cannot create a temporary folder");
    TempRoot() = dir;
    namespace fs = std::filesystem;
    const fs::path root(dir);
    for (const char* sub : {"config", "state", "data", "cache", "runtime"})
        fs::create_directories(root / sub);
    fs::permissions(root / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    setenv("HOME", dir, 1);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void CleanEnvironment() {
    if (!TempRoot().empty() && !std::getenv("WEXLO_KEEP_TEST_FILES")) {
        std::error_code ignored;
        std::filesystem::remove_all(TempRoot(), ignored);
    }
}

std::string TempDir() {
    return TempRoot();
}

namespace {
// Whether Port can be bound on every address right now.
bool Bindable(int Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(Port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return free;
}

// The first port the kernel hands to outgoing connections.
int FirstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int first = 0;
    return range >> first ? first : 32768;
}
}  // namespace

int FreeTcpPort() {
    // A port from the kernel's ephemeral range can become the local port of
    // any outgoing connection on the machine between this check and the
    // test's bind, and a loaded machine makes thousands of them. Below that
    // range only a listener takes a port, so a random one there is as good
    // as reserved. Tests often use the next port too (the talk port).
    static std::minstd_rand random(std::random_device{}() ^ unsigned(::getpid()));
    const int low = 10000, high = FirstEphemeralPort() - 2;
    for (int attempt = 0; high > low && attempt < 200; ++attempt) {
        const int port = low + int(random() % unsigned(high - low + 1));
        if (Bindable(port) && Bindable(port + 1)) return port;
    }
    throw std::runtime_error("no free port");
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired()) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void ProcessEventsFor(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

std::string BuildDir() {
    const char* dir = std::getenv("WEXLO_BUILD_DIR");
    return dir ? dir : std::filesystem::current_path().parent_path().string();
}

TRun RunProgram(const QString& Program, const QStringList& Args, const std::string& Input,
                int LimitMs, const std::string& OutputFile, const QStringList& Unset) {
    QProcess process;
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString& name : Unset) env.remove(name);
    process.setProcessEnvironment(env);
    if (!OutputFile.empty()) process.setStandardOutputFile(QString::fromStdString(OutputFile));
    const auto started = std::chrono::steady_clock::now();
    process.start(Program, Args);
    TRun run;
    if (!process.waitForStarted(20000)) {
        run.err = process.errorString().toStdString();
        return run;
    }
    process.write(Input.data(), static_cast<qint64>(Input.size()));
    process.closeWriteChannel();
    run.finished = WaitUntil([&] { return process.state() == QProcess::NotRunning; }, LimitMs);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!run.finished) {
        process.kill();
        process.waitForFinished(2000);
        return run;
    }
    if (process.exitStatus() == QProcess::NormalExit) run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

TRun RunSendTool(const std::vector<std::string>& Args, const std::string& Input, int LimitMs,
                 const std::string& OutputFile, const std::vector<std::string>& Launcher) {
    QStringList words;
    for (const std::string& w : Launcher) words << QString::fromStdString(w);
    words << QString::fromStdString(BuildDir() + "/wexlo-send");
    for (const std::string& w : Args) words << QString::fromStdString(w);
    const QString program = words.takeFirst();
    return RunProgram(program, words, Input, LimitMs, OutputFile);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string SettingsUpToPort(int port, bool saveMessages, TAwayAtStart away) {
    const auto flag = [](bool on) { return on ? "1" : "0"; };
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
           "\"Enable auto-reponse on start\"=dword:0000000" +
           flag(away != TAwayAtStart::Off) +
           "\r\n"
           "\"Auto-disable alerts\"=dword:00000001\r\n"
           "\"Ask for response message\"=dword:0000000" +
           flag(away != TAwayAtStart::DefaultMessage) +
           "\r\n"
           "\"Use default response\"=dword:0000000" +
           flag(away == TAwayAtStart::DefaultMessage) +
           "\r\n"
           "\"Response message\"=\"Away\"\r\n"
           "\"Port\"=dword:" +
           portValue + "\r\n";
}

}  // namespace testsupport
