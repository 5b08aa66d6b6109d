#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/InstanceLock.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace {
namespace fs = std::filesystem;

const std::string Name = "Wexlo - Messages sending utility - Drelmo";

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : FName(name) {
        if (const char* old = std::getenv(name)) FOld = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (FOld)
            setenv(FName, FOld->c_str(), 1);
        else
            unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

TEST(InstanceLock, OneHolderPerSessionAndDisplay) {
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    ScopedEnv display("DISPLAY", ":0");
    std::optional<TInstanceLock> first(std::in_place, Name);
    ASSERT_EQ(first->State(), TInstanceLock::lsHeld);
    EXPECT_EQ(fs::path(first->Path()).parent_path(), testsupport::TempDir() + "/runtime");
    EXPECT_EQ(fs::path(first->Path()).filename(),
              "Wexlo_-_Messages_sending_utility_-_Drelmo@_0.lock");

    EXPECT_EQ(TInstanceLock(Name).State(), TInstanceLock::lsHeldElsewhere);
    {
        ScopedEnv screen("DISPLAY", ":0.1");  // another screen of the same display
        EXPECT_EQ(TInstanceLock(Name).State(), TInstanceLock::lsHeldElsewhere);
    }
    {
        ScopedEnv other("DISPLAY", ":1");
        EXPECT_TRUE(TInstanceLock(Name).Held());
    }
    {
        ScopedEnv path("WAYLAND_DISPLAY", "/run/user/1000/wayland-0");
        const TInstanceLock lock(Name);
        EXPECT_TRUE(lock.Held());
        EXPECT_EQ(fs::path(lock.Path()).parent_path(), testsupport::TempDir() + "/runtime");
    }
    first.reset();
    EXPECT_TRUE(TInstanceLock(Name).Held());
}

TEST(InstanceLock, FallsBackToAPrivateTemporaryFolder) {
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const std::string tmp = testsupport::TempDir() + "/tmp";
    fs::create_directories(tmp);
    ScopedEnv tmpdir("TMPDIR", tmp);
    const std::string dir = tmp + "/wexlo-" + std::to_string(getuid());

    {
        const TInstanceLock lock(Name);
        EXPECT_TRUE(lock.Held());
        EXPECT_EQ(fs::path(lock.Path()).parent_path(), dir);
        EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
    }
    fs::permissions(dir, fs::perms::all);  // loosened by someone: tightened again
    EXPECT_TRUE(TInstanceLock(Name).Held());
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);

    // A link planted in its place is not followed.
    fs::remove_all(dir);
    fs::create_directory(tmp + "/elsewhere");
    fs::create_directory_symlink(tmp + "/elsewhere", dir);
    EXPECT_EQ(TInstanceLock(Name).State(), TInstanceLock::lsUnavailable);
    EXPECT_TRUE(fs::is_empty(tmp + "/elsewhere"));
}

TEST(InstanceLock, DiesWithItsProcessAndStaysWithIt) {
    // A second process holds the lock until it is killed.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const TInstanceLock lock(Name);
        const char state = lock.Held() ? 'y' : 'n';
        (void)!write(ready[1], &state, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    close(ready[0]);
    EXPECT_EQ(state, 'y');
    EXPECT_EQ(TInstanceLock(Name).State(), TInstanceLock::lsHeldElsewhere);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // A program we start (a browser, a player) must not keep it after we end.
    std::optional<TInstanceLock> held(std::in_place, Name);
    ASSERT_TRUE(held->Held());
    pid_t sleeper;
    char arg0[] = "sleep", arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
    // Some spawn implementations return before the child has run exec.
    const std::string comm = "/proc/" + std::to_string(sleeper) + "/comm";
    EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::ReadFile(comm) == "sleep\n"; }));
    held.reset();
    EXPECT_TRUE(TInstanceLock(Name).Held());
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

}  // namespace
