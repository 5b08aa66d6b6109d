#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "store/ReceivedJournal.h"
#include "store/SavedMessages.h"
#include "tests/store/StoreTestSupport.h"

extern char** environ;

namespace {
using namespace std::string_literals;
namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using namespace storetest;

constexpr int ReadyFd = 3;

// Environment values cannot hold NUL bytes, so texts travel as hex.
std::string ToHex(const std::string& Bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : Bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::string FromHex(const std::string& Hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < Hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(Hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// One run of the program's record keeping, in a child process: recover what an
// earlier run left, record one received message, then either exit cleanly or
// wait to be killed.
struct ChildRun {
    std::string mode, journal, saved, text;
};

pid_t Start(const ChildRun& Run, int& Ready) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("WEXLO_JOURNAL_CHILD=" + Run.mode);
    env.push_back("WEXLO_JOURNAL_PATH=" + Run.journal);
    env.push_back("WEXLO_SAVED_PATH=" + Run.saved);
    env.push_back("WEXLO_CHILD_TEXT=" + ToHex(Run.text));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = fs::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=ReceivedJournalChild.*";
    char* argv[] = {exe.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], ReadyFd);
    pid_t pid = -1;
    if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    Ready = fds[0];
    return pid;
}

// Runs to its clean exit; the exit status.
int RunToExit(const ChildRun& Run) {
    int ready = -1;
    const pid_t pid = Start(Run, ready);
    int status = -1;
    if (pid > 0) ::waitpid(pid, &status, 0);
    ::close(ready);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs until the message is recorded, then kills the run with SIGKILL.
void RunAndKill(const ChildRun& Run) {
    int ready = -1;
    const pid_t pid = Start(Run, ready);
    ASSERT_GT(pid, 0);
    pollfd p{ready, POLLIN, 0};
    char byte = 0;
    const bool recorded = ::poll(&p, 1, 20000) == 1 && ::read(ready, &byte, 1) == 1;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(ready);
    ASSERT_TRUE(recorded) << "the run did not record its message";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

// The child's side. Does nothing unless started by the helpers above.
TEST(ReceivedJournalChild, RunsWhenStartedByTheTests) {
    const char* mode = std::getenv("WEXLO_JOURNAL_CHILD");
    if (!mode) GTEST_SKIP() << "only runs in a child process";
    fs::remove_all(testsupport::TempDir());  // a killed run cannot clean up
    TReceivedJournal journal(std::getenv("WEXLO_JOURNAL_PATH"));
    const TSavedMessages saved(std::getenv("WEXLO_SAVED_PATH"));
    journal.Recover(saved);
    const TStringList entry = Entry(FromHex(std::getenv("WEXLO_CHILD_TEXT")));
    ASSERT_TRUE(journal.Append(entry));
    if (std::string(mode) == "exit") {
        journal.SaveOnExit(saved, entry);
        return;
    }
    ASSERT_EQ(::write(ReadyFd, "R", 1), 1);
    for (;;) ::pause();
}

TEST(ReceivedJournal, RecordsCarryAnyBytes) {
    const TStringList entries[] = {
        Entry("plain"),
        Entry("nul\0inside\0"s, true),
        {"\r", "\n", "\r\n", "", "\0"s, "\xff\xfe"},
        {std::string(100000, '\xAF')},
    };
    std::string bytes = journal::Header;
    TStringList all;
    for (const auto& entry : entries) {
        bytes += journal::Record(entry);
        Append(all, entry);
    }
    const journal::TContent content = journal::Parse(bytes);
    EXPECT_EQ(content.Items, all);
    EXPECT_EQ(content.Records, std::size(entries));
    EXPECT_EQ(content.ValidSize, bytes.size());
}

TEST(ReceivedJournal, ADamagedTailIsDroppedAndTheRecordsBeforeItKept) {
    const TStringList first = Entry("first"), second = Entry("second\0\r\n"s);
    const std::string whole = journal::Header + journal::Record(first) + journal::Record(second);
    const std::string last = journal::Record(Entry("torn"));
    TStringList kept = first;
    Append(kept, second);

    // A crash may cut the last append anywhere.
    for (std::size_t cut = 0; cut < last.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const journal::TContent content = journal::Parse(whole + last.substr(0, cut));
        ASSERT_EQ(content.Items, kept);
        ASSERT_EQ(content.ValidSize, whole.size());
    }

    std::string flipped = last;
    flipped[last.size() - 3] ^= 0x20;
    std::string tooLong = last;
    tooLong[0] = '\xff';
    const std::string tails[] = {flipped, std::string(64, '\0'), tooLong, "garbage!garbage!"};
    for (const auto& tail : tails) {
        SCOPED_TRACE(testing::PrintToString(tail.substr(0, 16)));
        const journal::TContent content = journal::Parse(whole + tail);
        EXPECT_EQ(content.Items, kept);
        EXPECT_EQ(content.ValidSize, whole.size());
    }

    // Not our file at all, or a header cut short.
    EXPECT_EQ(journal::Parse("WEXLO").ValidSize, 0u);
    EXPECT_EQ(journal::Parse("something else").Items.size(), 0u);
    EXPECT_EQ(journal::Crc32("123456789"), 0xCBF43926u);
}

TEST(ReceivedJournal, AKilledRunIsSavedAsItsExitWouldHaveSavedIt) {
    const std::string dir = NewFolder("journal");
    const std::string old = "earlier run\0\nno final break"s;
    const std::string text = "nul\0cr\rlf\n\xe9\x01"s;
    WriteFile(dir + "/Saved messages.txt", old);
    WriteFile(dir + "/expected.txt", old);
    TSavedMessages(dir + "/expected.txt").Append(Entry(text));

    RunAndKill({"crash", dir + "/received.journal", dir + "/Saved messages.txt", text});
    ASSERT_TRUE(fs::exists(dir + "/received.journal"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), old) << "saved before any exit";

    TReceivedJournal journal(dir + "/received.journal");
    journal.Recover(TSavedMessages(dir + "/Saved messages.txt"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), ReadFile(dir + "/expected.txt"));
    EXPECT_FALSE(fs::exists(dir + "/received.journal"));
}

TEST(ReceivedJournal, ThreeRunsWithOneMessageEachLeaveThreeEntriesInOrder) {
    const std::string dir = NewFolder("journal");
    const std::string journal = dir + "/state/wexlo/received.journal";
    const std::string saved = dir + "/Saved messages.txt";
    EXPECT_EQ(RunToExit({"exit", journal, saved, "one"}), 0);
    RunAndKill({"crash", journal, saved, "two"});
    EXPECT_EQ(RunToExit({"exit", journal, saved, "three"}), 0);
    EXPECT_EQ(ReadFile(saved),
              TextOf(Entry("one")) + TextOf(Entry("two")) + TextOf(Entry("three")));
    EXPECT_FALSE(fs::exists(journal));
}

TEST(ReceivedJournal, ATornTailOnDiskIsDroppedOnce) {
    const std::string dir = NewFolder("journal");
    const std::string path = dir + "/received.journal";
    const std::string torn = journal::Record(Entry("torn"));
    WriteFile(path, journal::Header + journal::Record(Entry("kept")) + torn.substr(0, 20));

    // Writing on after the torn record must not hide the new one behind it.
    {
        TReceivedJournal journal(path);
        ASSERT_TRUE(journal.Append(Entry("later")));
    }
    TStringList expected = Entry("kept");
    Append(expected, Entry("later"));
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, expected);

    TReceivedJournal next(path);
    next.Recover(TSavedMessages(dir + "/Saved messages.txt"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), TextOf(expected));
    EXPECT_FALSE(fs::exists(path));
}

TEST(ReceivedJournal, FollowsTheRunsCommands) {
    const std::string dir = NewFolder("journal");
    const std::string path = dir + "/new/folder/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");
    const auto journaled = [&] { return journal::Parse(ReadFile(path)).Items; };

    TReceivedJournal journal(path);
    journal.Recover(saved);  // nothing left behind
    EXPECT_FALSE(saved.Exists());
    EXPECT_FALSE(fs::exists(path)) << "no journal before the first message";

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(journal.Append(Entry("a")));
    const auto took = std::chrono::steady_clock::now() - start;
    RecordProperty(
        "first_append_us",
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    EXPECT_EQ((fs::status(dir + "/new").permissions() & fs::perms::all), fs::perms::owner_all);
    ASSERT_TRUE(journal.Append(Entry("b")));
    TStringList ab = Entry("a");
    Append(ab, Entry("b"));
    EXPECT_EQ(journaled(), ab);

    // "Delete received messages".
    ASSERT_TRUE(journal.Reset({}));
    EXPECT_EQ(journaled(), TStringList{});
    ASSERT_TRUE(journal.Append(Entry("c")));
    // Saving switched on during a run: the journal takes the whole list.
    ASSERT_TRUE(journal.Reset(ab));
    EXPECT_EQ(journaled(), ab);

    journal.SaveOnExit(saved, ab);
    EXPECT_EQ(ReadFile(saved.Path()), TextOf(ab));
    EXPECT_FALSE(fs::exists(path));

    // Exit with saving off.
    TReceivedJournal off(path);
    ASSERT_TRUE(off.Append(Entry("d")));
    off.Discard();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(ReadFile(saved.Path()), TextOf(ab));
}

TEST(ReceivedJournal, NothingIsLostWhileTheSavedFileCannotBeWritten) {
    const std::string dir = NewFolder("journal");
    const std::string path = dir + "/received.journal";
    const TSavedMessages blocked(dir + "/missing/Saved messages.txt");
    const TSavedMessages saved(dir + "/Saved messages.txt");
    {
        TReceivedJournal died(path);
        ASSERT_TRUE(died.Append(Entry("from a run that died")));
    }

    TReceivedJournal journal(path);
    EXPECT_EQ(Raised([&] { journal.Recover(blocked); }), "Cannot create file " + blocked.Path());
    EXPECT_EQ(journal.Pending(), Entry("from a run that died"));
    ASSERT_TRUE(journal.Append(Entry("this run")));
    // "Delete received messages" keeps what the earlier run left.
    ASSERT_TRUE(journal.Reset({}));
    ASSERT_TRUE(journal.Append(Entry("after delete")));
    EXPECT_EQ(Raised([&] { journal.SaveOnExit(blocked, Entry("after delete")); }),
              "Cannot create file " + blocked.Path());
    ASSERT_TRUE(fs::exists(path));

    journal.SaveOnExit(saved, Entry("after delete"));
    EXPECT_EQ(ReadFile(saved.Path()),
              TextOf(Entry("from a run that died")) + TextOf(Entry("after delete")));
    EXPECT_FALSE(fs::exists(path));

    // An exit with saving off still keeps an earlier run's entries for later.
    {
        TReceivedJournal died(path);
        ASSERT_TRUE(died.Append(Entry("left again")));
    }
    TReceivedJournal last(path);
    EXPECT_ANY_THROW(last.Recover(blocked));
    ASSERT_TRUE(last.Append(Entry("dropped")));
    last.Discard();
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, Entry("left again"));
}

TEST(ReceivedJournal, ASecondCopyLeavesALiveJournalAlone) {
    const std::string dir = NewFolder("journal");
    const std::string path = dir + "/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");

    TReceivedJournal first(path);
    ASSERT_TRUE(first.Append(Entry("first copy")));
    TReceivedJournal second(path);
    second.Recover(saved);
    EXPECT_FALSE(saved.Exists()) << "a live journal is no crash";
    EXPECT_FALSE(second.Append(Entry("second copy")));

    first.SaveOnExit(saved, Entry("first copy"));
    EXPECT_TRUE(second.Append(Entry("second copy")));
    second.SaveOnExit(saved, Entry("second copy"));
    EXPECT_EQ(ReadFile(saved.Path()), TextOf(Entry("first copy")) + TextOf(Entry("second copy")));
}

TEST(ReceivedJournal, LivesInTheUsersStateFolder) {
    const std::string home = std::getenv("HOME");
    const char* old = std::getenv("XDG_STATE_HOME");
    const std::string saved = old ? old : "";
    const struct {
        const char* value;
        std::string path;
    } cases[] = {
        {"/var/state", "/var/state/wexlo/received.journal"},
        {"", home + "/.local/state/wexlo/received.journal"},
        {"relative/state", home + "/.local/state/wexlo/received.journal"},
        {nullptr, home + "/.local/state/wexlo/received.journal"},
    };
    for (const auto& c : cases) {
        if (c.value)
            setenv("XDG_STATE_HOME", c.value, 1);
        else
            unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(TReceivedJournal::DefaultPath(), c.path);
    }
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
}
}  // namespace

TEST(ReceivedJournal, AnEmptiedJournalLeftBehindCreatesNoSavedFile) {
    const std::string dir = NewFolder("journal");
    const std::string path = dir + "/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");
    {
        TReceivedJournal run(path);
        ASSERT_TRUE(run.Append(Entry("gone")));
        ASSERT_TRUE(run.Reset({}));  // "Delete received messages", then the run dies
    }
    ASSERT_TRUE(fs::exists(path));

    TReceivedJournal next(path);
    next.Recover(saved);
    EXPECT_FALSE(saved.Exists());
    EXPECT_FALSE(fs::exists(path));
}
