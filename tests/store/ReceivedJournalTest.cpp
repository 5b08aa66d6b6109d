#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include <QCoreApplication>

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

constexpr std::uint64_t Tag = 0x5A17C0DEF00DBEEF;  // of the journals the tests write

constexpr int ReadyFd = 3;

// Environment values cannot hold NUL bytes, so texts travel as hex.
std::string ToHex(const std::string& Bytes) {
    return QByteArray::fromStdString(Bytes).toHex().toStdString();
}

std::string FromHex(const std::string& Hex) {
    return QByteArray::fromHex(QByteArray::fromStdString(Hex)).toStdString();
}

// A run's list of received messages and its journal, as the main form keeps
// them: the list gains each entry first.
struct Receiving {
    explicit Receiving(const std::string& Path) : journal(list, Path) {}
    bool Receive(const TStringList& Entry) {
        Append(list, Entry);
        return journal.Append(Entry);
    }
    TReceivedList list;
    TReceivedJournal journal;
};

TStringList Joined(std::initializer_list<TStringList> Entries) {
    TStringList all;
    for (const auto& entry : Entries) Append(all, entry);
    return all;
}

// One run of the program's record keeping, in a child process. "crash":
// recover what an earlier run left, record one received message, then wait to
// be killed. "exit": the same, then the exit's save. "recover": only the
// start's recovery. With KillAt, the run kills itself with SIGKILL at that call
// changing a file (half way through it, for a write) after the recovery, or
// during it in "recover".
struct ChildRun {
    std::string mode, journal, saved, text;
    int killAt = 0;
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
    env.push_back("WEXLO_KILL_AT=" + std::to_string(Run.killAt));
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

// Starts the run and kills it with SIGKILL DelayUs after its operation starts
// or its message is recorded (never, for a negative delay); the exit status, or
// 128 + the signal, or -1 if the run never got that far. Took is how long the
// operation ran.
int KillAfter(const ChildRun& Run, long DelayUs, std::chrono::microseconds* Took = nullptr) {
    int ready = -1;
    const pid_t pid = Start(Run, ready);
    if (pid <= 0) return -1;
    pollfd p{ready, POLLIN, 0};
    char byte = 0;
    const bool started = ::poll(&p, 1, 20000) == 1 && ::read(ready, &byte, 1) == 1;
    const auto start = std::chrono::steady_clock::now();
    if (started && DelayUs >= 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(DelayUs));
        ::kill(pid, SIGKILL);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    if (Took)
        *Took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
    ::close(ready);
    if (!started) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunToEnd(const ChildRun& Run) {
    return KillAfter(Run, -1);
}

// The child's side. Does nothing unless started by the helpers above.
TEST(ReceivedJournalChild, RunsWhenStartedByTheTests) {
    const char* mode = std::getenv("WEXLO_JOURNAL_CHILD");
    if (!mode) GTEST_SKIP() << "only runs in a child process";
    fs::remove_all(testsupport::TempDir());  // a killed run cannot clean up
    Receiving run(std::getenv("WEXLO_JOURNAL_PATH"));
    const TSavedMessages saved(std::getenv("WEXLO_SAVED_PATH"));
    const int kill = std::atoi(std::getenv("WEXLO_KILL_AT"));
    // "S": the operation starts now, for a kill at a random moment of it.
    if (std::string(mode) == "recover") {
        ASSERT_EQ(::write(ReadyFd, "S", 1), 1);
        DieAt(kill);
        run.journal.Recover(saved);
        return;
    }
    run.journal.Recover(saved);
    ASSERT_TRUE(run.Receive(Entry(FromHex(std::getenv("WEXLO_CHILD_TEXT")))));
    if (std::string(mode) == "exit") {
        ASSERT_EQ(::write(ReadyFd, "S", 1), 1);
        DieAt(kill);
        run.journal.SaveOnExit(saved);
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
    std::string bytes = journal::Header(Tag);
    TStringList all;
    for (const auto& entry : entries) {
        bytes += journal::Record(Tag, entry);
        Append(all, entry);
    }
    const journal::TContent content = journal::Parse(bytes);
    EXPECT_EQ(content.Items, all);
    EXPECT_EQ(content.Records, std::size(entries));
    EXPECT_EQ(content.ValidSize, bytes.size());
}

TEST(ReceivedJournal, ADamagedTailIsDroppedAndTheRecordsBeforeItKept) {
    const TStringList first = Entry("first"), second = Entry("second\0\r\n"s);
    const std::string whole = journal::Header(Tag) + journal::Record(Tag, first) + journal::Record(Tag, second);
    const std::string last = journal::Record(Tag, Entry("torn"));
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

    ASSERT_EQ(KillAfter({"crash", dir + "/received.journal", dir + "/Saved messages.txt", text}, 0),
              128 + SIGKILL);
    ASSERT_TRUE(fs::exists(dir + "/received.journal"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), old) << "saved before any exit";

    Receiving next(dir + "/received.journal");
    next.journal.Recover(TSavedMessages(dir + "/Saved messages.txt"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), ReadFile(dir + "/expected.txt"));
    EXPECT_FALSE(fs::exists(dir + "/received.journal"));
}

TEST(ReceivedJournal, ThreeRunsWithOneMessageEachLeaveThreeEntriesInOrder) {
    const std::string dir = NewFolder("journal");
    const std::string journal = dir + "/state/wexlo/received.journal";
    const std::string saved = dir + "/Saved messages.txt";
    EXPECT_EQ(RunToEnd({"exit", journal, saved, "one"}), 0);
    ASSERT_EQ(KillAfter({"crash", journal, saved, "two"}, 0), 128 + SIGKILL);
    EXPECT_EQ(RunToEnd({"exit", journal, saved, "three"}), 0);
    EXPECT_EQ(ReadFile(saved),
              TextOf(Entry("one")) + TextOf(Entry("two")) + TextOf(Entry("three")));
    EXPECT_FALSE(fs::exists(journal));
}

// A kill at any file call of the exit's save, and then at any of the next
// start's recovery, still leaves each entry in the saved file exactly once.
TEST(ReceivedJournal, AKillAtAnyMomentOfSavingLandsEachEntryOnce) {
    const std::string text = "killed while saving " + std::string(3000, 'x');
    const std::string old = "earlier\r\nno final break";
    const std::string expected = old + "\r\n" + TextOf(Entry(text));
    int exitCalls = 0, recoverCalls = 0;
    for (int exitKill = 1;; ++exitKill) {
        SCOPED_TRACE("exit killed at call " + std::to_string(exitKill));
        const std::string dir = NewFolder("killed");
        const std::string journal = dir + "/received.journal", saved = dir + "/Saved messages.txt";
        WriteFile(saved, old);
        const int status = RunToEnd({"exit", journal, saved, text, exitKill});
        if (status == 0) {
            EXPECT_EQ(ReadFile(saved), expected);
            EXPECT_FALSE(fs::exists(journal));
            break;
        }
        ASSERT_EQ(status, 128 + SIGKILL);
        ASSERT_LT(exitKill, 50) << "the save never ends";
        exitCalls = exitKill;

        for (int recoverKill = 1;; ++recoverKill) {
            SCOPED_TRACE("recovery killed at call " + std::to_string(recoverKill));
            const std::string again = NewFolder("recovery");
            fs::copy(dir, again);
            const std::string journal2 = again + "/received.journal",
                              saved2 = again + "/Saved messages.txt";
            const int recovered = RunToEnd({"recover", journal2, saved2, "", recoverKill});
            ASSERT_TRUE(recovered == 0 || recovered == 128 + SIGKILL) << recovered;
            ASSERT_LT(recoverKill, 50) << "the recovery never ends";
            Receiving last(journal2);
            last.journal.Recover(TSavedMessages(saved2));
            ASSERT_EQ(ReadFile(saved2), expected);
            EXPECT_FALSE(fs::exists(journal2));
            if (recovered == 0) break;
            recoverCalls = std::max(recoverCalls, recoverKill);
        }
    }
    RecordProperty("exit_kill_points", exitCalls);
    RecordProperty("recovery_kill_points", recoverCalls);
}

// The same for kills at random moments of the exit's save and of the next
// start's recovery, not only at file calls.
TEST(ReceivedJournal, AKillAtARandomMomentLandsEachEntryOnce) {
    const std::string old = "earlier\r\n";
    const std::string text = "killed at random " + std::string(20000, 'r');
    const std::string expected = old + TextOf(Entry(text));
    std::minstd_rand random(std::random_device{}());

    // A run that died before its exit: what each recovery starts from.
    const std::string crashed = NewFolder("crashed");
    const std::string crashedSaved = crashed + "/Saved messages.txt";
    WriteFile(crashedSaved, old);
    ASSERT_EQ(KillAfter({"crash", crashed + "/received.journal", crashedSaved, text}, 0),
              128 + SIGKILL);

    int killed = 0;
    for (const char* mode : {"exit", "recover"}) {
        std::chrono::microseconds took{};
        long span = 0;
        for (int round = 0; round <= 12; ++round) {
            SCOPED_TRACE(std::string(mode) + " round " + std::to_string(round));
            const std::string dir = NewFolder("random");
            fs::remove(dir);
            fs::copy(crashed, dir);
            const std::string journal = dir + "/received.journal",
                              saved = dir + "/Saved messages.txt";
            if (std::string(mode) == "exit") {
                fs::remove(journal);
                WriteFile(saved, old);
            }
            // The first round runs to its end and gives the span to aim in.
            const long delay = round == 0 ? -1 : static_cast<long>(random() % (span + 1));
            const int status =
                KillAfter({mode, journal, saved, std::string(mode) == "exit" ? text : ""}, delay,
                          round == 0 ? &took : nullptr);
            ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
            if (round == 0) span = std::max<long>(1000, 2 * took.count());
            killed += status != 0;
            Receiving next(journal);
            next.journal.Recover(TSavedMessages(saved));
            ASSERT_EQ(ReadFile(saved), expected);
            EXPECT_FALSE(fs::exists(journal));
        }
    }
    RecordProperty("killed_runs", killed);
}

TEST(ReceivedJournal, ATornTailOnDiskIsDroppedOnce) {
    const std::string dir = NewFolder("journal"), path = dir + "/received.journal";
    const std::string torn = journal::Record(Tag, Entry("torn"));
    WriteFile(path, journal::Header(Tag) + journal::Record(Tag, Entry("kept")) + torn.substr(0, 20));

    // Writing on after the torn record must not hide the new one behind it.
    {
        Receiving run(path);
        ASSERT_TRUE(run.Receive(Entry("later")));
    }
    const TStringList expected = Joined({Entry("kept"), Entry("later")});
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, expected);

    Receiving next(path);
    next.journal.Recover(TSavedMessages(dir + "/Saved messages.txt"));
    EXPECT_EQ(ReadFile(dir + "/Saved messages.txt"), TextOf(expected));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path + ".bad")) << "a torn tail is no damage";
}

// A peer's text may hold bytes shaped like records, even ones with this very
// journal's tag. A kill that tears such a message's record costs that message
// only: the next start saves the whole ones before it and nothing found inside
// it, from a journal of either format.
TEST(ReceivedJournal, RecordsInsideATornMessageNeverComeBackAsEntries) {
    const TStringList forged = ReceivedEntry("boss-pc", "10.1.2.3", "09:12:00, 01/02/24", false,
                                             "FORGED: please approve the transfer today");
    const auto u32 = [](std::size_t Value) {
        std::string bytes;
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(Value >> (8 * i) & 0xFF);
        return bytes;
    };
    const auto oldRecord = [&](const TStringList& Items) {  // the first format's framing
        std::string payload;
        for (const auto& item : Items) payload += u32(item.size()) + item;
        return u32(payload.size()) + u32(journal::Crc32(payload)) + payload;
    };
    const std::string pad(50000, 'x');
    for (const bool old : {false, true}) {
        SCOPED_TRACE(old ? "first format" : "current format");
        const std::string dir = NewFolder("forged"), path = dir + "/received.journal";
        std::string file;
        std::size_t whole = 0;  // the journal before the long message
        if (old) {
            file = "WEXLOJ1\n" + oldRecord(Entry("real"));
            whole = file.size();
            file += oldRecord(Entry(pad + oldRecord(forged) + pad));
        } else {
            Receiving run(path);
            ASSERT_TRUE(run.Receive(Entry("real")));
            whole = ReadFile(path).size();
            const std::uint64_t tag = journal::Parse(ReadFile(path)).Tag;
            ASSERT_TRUE(run.Receive(Entry(pad + journal::Record(tag, forged) + pad)));
            file = ReadFile(path);
        }
        for (const std::size_t cut : {whole, file.rfind("FORGED") + 1000, file.size() - 1}) {
            const TSavedMessages saved(NewFolder("forged") + "/Saved messages.txt");
            WriteFile(path, file.substr(0, cut));
            {  // a start that cannot save yet writes on
                Receiving next(path);
                EXPECT_ANY_THROW(next.journal.Recover(TSavedMessages(dir + "/missing/x")));
                ASSERT_TRUE(next.Receive(Entry("later")));
            }
            Receiving last(path);
            last.journal.Recover(saved);
            EXPECT_EQ(ReadFile(saved.Path()), TextOf(Joined({Entry("real"), Entry("later")})))
                << "cut at " << cut;
            EXPECT_FALSE(fs::exists(path));
            EXPECT_FALSE(fs::exists(path + ".bad")) << "a torn tail is no damage";
        }
    }
}

TEST(ReceivedJournal, FollowsTheRunsCommands) {
    const std::string dir = NewFolder("journal"), path = dir + "/new/folder/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");
    const auto journaled = [&] { return journal::Parse(ReadFile(path)).Items; };

    Receiving run(path);
    run.journal.Recover(saved);  // nothing left behind
    EXPECT_FALSE(saved.Exists());
    EXPECT_FALSE(fs::exists(path)) << "no journal before the first message";

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Receive(Entry("a")));
    const auto took = std::chrono::steady_clock::now() - start;
    RecordProperty(
        "first_append_us",
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    EXPECT_EQ((fs::status(dir + "/new").permissions() & fs::perms::all), fs::perms::owner_all);
    ASSERT_TRUE(run.Receive(Entry("b")));
    const TStringList ab = Joined({Entry("a"), Entry("b")});
    EXPECT_EQ(journaled(), ab);

    // "Delete received messages".
    run.list.clear();
    ASSERT_TRUE(run.journal.Reset(true));
    EXPECT_EQ(journaled(), TStringList{});
    // Saving switched off, a message, then saving switched on again: the
    // journal takes the whole list.
    ASSERT_TRUE(run.journal.Reset(false));
    Append(run.list, ab);
    EXPECT_EQ(journaled(), TStringList{});
    ASSERT_TRUE(run.journal.Reset(true));
    EXPECT_EQ(journaled(), ab);
    ASSERT_TRUE(run.Receive(Entry("c")));
    EXPECT_EQ(journaled(), Joined({ab, Entry("c")}));

    run.journal.SaveOnExit(saved);
    EXPECT_EQ(ReadFile(saved.Path()), TextOf(Joined({ab, Entry("c")})));
    EXPECT_FALSE(fs::exists(path));

    // Exit with saving off.
    Receiving off(path);
    ASSERT_TRUE(off.Receive(Entry("d")));
    off.journal.Discard();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(ReadFile(saved.Path()), TextOf(Joined({ab, Entry("c")})));
}

TEST(ReceivedJournal, NothingIsLostWhileTheSavedFileCannotBeWritten) {
    const std::string dir = NewFolder("journal"), path = dir + "/received.journal";
    const TSavedMessages blocked(dir + "/missing/Saved messages.txt");
    const TSavedMessages saved(dir + "/Saved messages.txt");
    {
        Receiving died(path);
        ASSERT_TRUE(died.Receive(Entry("from a run that died")));
    }

    Receiving run(path);
    EXPECT_EQ(Raised([&] { run.journal.Recover(blocked); }),
              "Cannot create file " + blocked.Path());
    EXPECT_EQ(run.journal.Pending(), Entry("from a run that died"));
    ASSERT_TRUE(run.Receive(Entry("this run")));
    // "Delete received messages" keeps what the earlier run left.
    run.list.clear();
    ASSERT_TRUE(run.journal.Reset(true));
    ASSERT_TRUE(run.Receive(Entry("after delete")));
    EXPECT_EQ(Raised([&] { run.journal.SaveOnExit(blocked); }),
              "Cannot create file " + blocked.Path());
    ASSERT_TRUE(fs::exists(path));

    run.journal.SaveOnExit(saved);
    EXPECT_EQ(ReadFile(saved.Path()),
              TextOf(Entry("from a run that died")) + TextOf(Entry("after delete")));
    EXPECT_FALSE(fs::exists(path));

    // An exit with saving off still keeps an earlier run's entries for later.
    {
        Receiving died(path);
        ASSERT_TRUE(died.Receive(Entry("left again")));
    }
    Receiving last(path);
    EXPECT_ANY_THROW(last.journal.Recover(blocked));
    ASSERT_TRUE(last.Receive(Entry("dropped")));
    last.journal.Discard();
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, Entry("left again"));
}

TEST(ReceivedJournal, ASecondCopyLeavesALiveJournalAlone) {
    const std::string dir = NewFolder("journal"), path = dir + "/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");

    Receiving first(path);
    ASSERT_TRUE(first.Receive(Entry("first copy")));
    Receiving second(path);
    second.journal.Recover(saved);
    EXPECT_FALSE(saved.Exists()) << "a live journal is no crash";
    EXPECT_FALSE(second.Receive(Entry("second copy")));
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, Entry("first copy"));

    // Once the first copy is gone, the second one's journal holds its whole run.
    first.journal.SaveOnExit(saved);
    EXPECT_TRUE(second.Receive(Entry("second again")));
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items,
              Joined({Entry("second copy"), Entry("second again")}));
    second.journal.SaveOnExit(saved);
    EXPECT_EQ(ReadFile(saved.Path()),
              TextOf(Joined({Entry("first copy"), Entry("second copy"), Entry("second again")})));
}

TEST(ReceivedJournal, LivesInTheUsersStateFolder) {
    const std::string home = std::getenv("HOME");
    const char* old = std::getenv("XDG_STATE_HOME");
    const std::string saved = old ? old : "";
    const struct { const char* value; std::string path; } cases[] = {
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

TEST(ReceivedJournal, AnEmptiedJournalLeftBehindCreatesNoSavedFile) {
    const std::string dir = NewFolder("journal"), path = dir + "/received.journal";
    const TSavedMessages saved(dir + "/Saved messages.txt");
    {
        Receiving run(path);
        ASSERT_TRUE(run.Receive(Entry("gone")));
        run.list.clear();
        ASSERT_TRUE(run.journal.Reset(true));  // "Delete received messages", then the run dies
    }
    ASSERT_TRUE(fs::exists(path));

    Receiving next(path);
    next.journal.Recover(saved);
    EXPECT_FALSE(saved.Exists());
    EXPECT_FALSE(fs::exists(path));
}

// A write that fails leaves no gap once writing works again, and the user is
// told once per streak of failures.
TEST(ReceivedJournal, AFailedWriteIsMadeGoodFromTheRunsList) {
    // opened: the journal exists before the fault.
    const struct { const char* name; std::atomic<int>& fault; int error; bool opened; } cases[] = {
        {"full disk", FileFaults::writeError, ENOSPC, true},
        {"no free descriptor", FileFaults::openError, EMFILE, false},
        {"flush failing", FileFaults::syncError, EIO, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = NewFolder("failing") + "/received.journal";
        FileFaults faults;
        Receiving run(path);
        std::vector<std::string> told;
        run.journal.OnWriteFailed = [&](const std::string& Text) { told.push_back(Text); };
        if (c.opened) {
            ASSERT_TRUE(run.Receive(Entry("before")));
        }
        c.fault = c.error;
        for (const char* text : {"during 1", "during 2", "during 3"}) run.Receive(Entry(text));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return run.journal.Failing(); }, 10000));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !told.empty(); }, 10000));
        run.Receive(Entry("during 4"));
        QCoreApplication::processEvents();
        EXPECT_EQ(told.size(), 1u) << "once per streak";
        EXPECT_NE(told[0].find(path), std::string::npos) << told[0];
        EXPECT_NE(told[0].find(std::strerror(c.error)), std::string::npos) << told[0];
        FileFaults::Clear();
        // Mended within a second or so without a new arrival.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !run.journal.Failing(); }, 10000));
        EXPECT_EQ(journal::Parse(ReadFile(path)).Items, run.list);
        ASSERT_TRUE(run.Receive(Entry("after")));
        EXPECT_EQ(journal::Parse(ReadFile(path)).Items, run.list);

        // A new streak is told again.
        FileFaults::writeError = ENOSPC;
        EXPECT_FALSE(run.Receive(Entry("again")));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return told.size() == 2; }, 10000));
        FileFaults::Clear();
        EXPECT_TRUE(run.Receive(Entry("last")));
        EXPECT_EQ(journal::Parse(ReadFile(path)).Items, run.list);
    }
}

TEST(ReceivedJournal, EachFileCallFailingOnceLosesNothingAndTheRetrySucceeds) {
    const std::string old = "earlier\r\n";
    std::string dir, path;
    const auto saved = [&] { return TSavedMessages(dir + "/Saved messages.txt"); };
    const auto prepare = [&](const std::vector<std::string>& Died) {
        dir = NewFolder("failing");
        path = dir + "/received.journal";
        WriteFile(saved().Path(), old);
        Receiving died(path);
        for (const std::string& text : Died) ASSERT_TRUE(died.Receive(Entry(text)));
    };
    const auto landed = [&](std::initializer_list<const char*> Texts) {
        std::string text = old;
        for (const char* t : Texts) text += TextOf(Entry(t));
        return text;
    };

    // An arrival, the first of the run or a later one: a failed write is
    // reported with its reason and made good, nothing doubles.
    std::optional<Receiving> run;
    bool written = false;
    std::vector<std::string> told;
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first arrival" : "later arrival");
        FailEachCallOnce(
            [&] {
                run.reset();
                prepare({});
                run.emplace(path);
                told.clear();
                run->journal.OnWriteFailed = [&](const std::string& Text) { told.push_back(Text); };
                if (!first) {
                    ASSERT_TRUE(run->Receive(Entry("before")));
                }
            },
            [&] { written = run->Receive(Entry("during")); },
            [&](const std::string& Which) {
                SCOPED_TRACE(Which);
                if (!written) {
                    EXPECT_TRUE(run->journal.Failing());
                    ASSERT_TRUE(testsupport::WaitUntil([&] { return told.size() == 1; }, 10000));
                    const int error = Which.rfind("write", 0) == 0 ? ENOSPC : EIO;
                    EXPECT_NE(told[0].find(std::strerror(error)), std::string::npos) << told[0];
                }
                EXPECT_TRUE(run->Receive(Entry("after")));
                EXPECT_EQ(journal::Parse(ReadFile(path)).Items, run->list);
                run->journal.SaveOnExit(saved());
                EXPECT_EQ(ReadFile(saved().Path()), first ? landed({"during", "after"})
                                                          : landed({"before", "during", "after"}));
                EXPECT_FALSE(fs::exists(path));
            });
    }
    run.reset();

    // A start's recovery: what fails is told and kept; the next start saves it once.
    std::string raised;
    FailEachCallOnce(
        [&] { prepare({"died 1", "died 2"}); },
        [&] {
            Receiving next(path);
            raised = Raised([&] { next.journal.Recover(saved()); });
        },
        [&](const std::string& Which) {
            SCOPED_TRACE(Which);
            const std::string now = ReadFile(saved().Path());
            if (raised != "(nothing raised)") {
                EXPECT_EQ(raised, "Cannot create file " + saved().Path());
                EXPECT_EQ(now, old);
            }
            Receiving again(path);
            again.journal.Recover(saved());
            EXPECT_EQ(ReadFile(saved().Path()), landed({"died 1", "died 2"}));
            EXPECT_FALSE(fs::exists(path));
        });
}

// What the flushes cost the receiving thread: nothing, and at most one a
// second elsewhere.
std::mutex syncsMutex;
std::vector<std::pair<std::thread::id, std::chrono::steady_clock::time_point>> syncs;

TEST(ReceivedJournal, FlushesLeaveTheWritingThreadAtMostOnceASecond) {
    const std::string path = NewFolder("flushes") + "/received.journal";
    FileFaults faults;
    files::Calls().FSync = [](int Fd) {
        struct stat st {};
        if (::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode)) {
            const std::lock_guard lock(syncsMutex);
            syncs.emplace_back(std::this_thread::get_id(), std::chrono::steady_clock::now());
        }
        return ::fsync(Fd);
    };
    const auto count = [] {
        const std::lock_guard lock(syncsMutex);
        return syncs.size();
    };
    Receiving run(path);
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(run.Receive(Entry(std::to_string(i))));
        const std::size_t before = count();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return count() > before; }, 10000));
    }
    const std::lock_guard lock(syncsMutex);
    for (std::size_t i = 0; i < syncs.size(); ++i) {
        EXPECT_NE(syncs[i].first, std::this_thread::get_id()) << "flush " << i;
        // The flusher paces the moments it starts a flush; the stamp here is
        // taken a little later, by as much as the thread was held up on a
        // busy machine.
        if (i > 0) {
            EXPECT_GE(syncs[i].second - syncs[i - 1].second, std::chrono::milliseconds(900));
        }
    }
    EXPECT_EQ(journal::Parse(ReadFile(path)).Items, run.list);
}

// Whatever stands at the journal's path is never followed, read or cut: it is
// moved aside and a fresh journal started.
TEST(ReceivedJournal, AForeignFileAtThePathIsMovedAsideUntouched) {
    using Path = const std::string&;
    const struct {
        const char* name;
        void (*make)(Path Journal, Path UsersFile);
        fs::file_type kept;
    } cases[] = {
        {"link to a user's file", [](Path J, Path U) { fs::create_symlink(U, J); },
         fs::file_type::symlink},
        {"link to /dev/zero", [](Path J, Path) { fs::create_symlink("/dev/zero", J); },
         fs::file_type::symlink},
        {"FIFO", [](Path J, Path) { ::mkfifo(J.c_str(), 0600); }, fs::file_type::fifo},
        {"folder", [](Path J, Path) { fs::create_directory(J); }, fs::file_type::directory},
        {"another program's file", [](Path J, Path U) { fs::copy_file(U, J); },
         fs::file_type::regular},
    };
    const std::string users = "the user's own\0text"s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = NewFolder("foreign"), path = dir + "/received.journal";
        const TSavedMessages saved(dir + "/Saved messages.txt");
        WriteFile(dir + "/users.txt", users);
        c.make(path, dir + "/users.txt");
        WriteFile(path + ".bad", "kept aside earlier");

        Receiving run(path);
        run.journal.Recover(saved);
        EXPECT_FALSE(saved.Exists());
        EXPECT_EQ(fs::symlink_status(path + ".bad.1").type(), c.kept);
        if (c.kept == fs::file_type::regular) {
            EXPECT_EQ(ReadFile(path + ".bad.1"), users);
        }
        EXPECT_EQ(ReadFile(dir + "/users.txt"), users);
        EXPECT_EQ(ReadFile(path + ".bad"), "kept aside earlier");
        ASSERT_TRUE(run.Receive(Entry("new")));
        EXPECT_EQ(fs::symlink_status(path).type(), fs::file_type::regular);
        EXPECT_EQ(journal::Parse(ReadFile(path)).Items, Entry("new"));
    }
}

// A damaged record is skipped; the whole records on both sides of it are
// saved, and a copy of the journal as it was stays beside it.
TEST(ReceivedJournal, ADamagedRecordCostsOnlyItself) {
    const std::string before = journal::Header(Tag) + journal::Record(Tag, Entry("before"));
    const std::string hit = journal::Record(Tag, Entry("damaged"));
    const std::string after = journal::Record(Tag, Entry("after")) + journal::Record(Tag, Entry("last"));
    const auto changed = [&](std::size_t At, const std::string& Bytes) {
        std::string copy = hit;
        copy.replace(At, Bytes.size(), Bytes);
        return copy;
    };
    const struct { const char* name; std::string damaged; bool hitKept; } cases[] = {
        {"a byte of the text", changed(hit.size() - 5, "?"), false},
        {"its checksum", changed(12, "\x01\x02\x03\x04"), false},
        {"its length too short", changed(8, "\x05"s), false},
        {"its length too long", changed(8, "\xff\xff"s), false},
        {"zeros", std::string(hit.size(), '\0'), false},
        {"junk between records", hit + "junk", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TStringList kept =
            c.hitKept ? Joined({Entry("before"), Entry("damaged"), Entry("after"), Entry("last")})
                      : Joined({Entry("before"), Entry("after"), Entry("last")});
        const std::string bytes = before + c.damaged + after;
        const journal::TContent content = journal::Parse(bytes);
        EXPECT_EQ(content.Items, kept);
        EXPECT_TRUE(content.Damaged);

        const std::string dir = NewFolder("damaged"), path = dir + "/received.journal";
        const TSavedMessages saved(dir + "/Saved messages.txt");
        WriteFile(path, bytes);
        Receiving run(path);
        run.journal.Recover(saved);
        EXPECT_EQ(ReadFile(saved.Path()), TextOf(kept));
        EXPECT_EQ(ReadFile(path + ".bad"), bytes);
        EXPECT_FALSE(fs::exists(path));
    }
}
}  // namespace
