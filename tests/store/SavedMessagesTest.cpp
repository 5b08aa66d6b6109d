#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "store/SavedMessages.h"
#include "tests/store/StoreTestSupport.h"

namespace {
using namespace std::string_literals;
namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using namespace storetest;

TEST(SavedMessages, LivesBesideTheExecutable) {
    EXPECT_EQ(TSavedMessages::PathIn("/opt/wexlo"), "/opt/wexlo/Saved messages.txt");
    EXPECT_EQ(TSavedMessages::PathIn("/opt/wexlo/"), "/opt/wexlo/Saved messages.txt");
}

TEST(SavedMessages, AppendKeepsEveryExistingByte) {
    const std::string entries = TextOf(Entry("new"));
    const struct {
        const char* name;
        std::optional<std::string> before;
        std::string after;
    } cases[] = {
        {"missing file", std::nullopt, entries},
        {"empty file", "", entries},
        {"CR LF lines", "old\r\n", "old\r\n" + entries},
        // Lone LF line ends and NUL bytes stay exactly as they were.
        {"LF lines and NUL bytes", "a\0b\nc\n\0\n"s, "a\0b\nc\n\0\n"s + entries},
        // Without a final break the new entries start on a line of their own.
        {"no final break", "a\0b\nlast"s, "a\0b\nlast\r\n"s + entries},
        {"ends with lone CR", "old\r", "old\r" + entries},
        {"binary tail", "\xff\xfe\x00"s, "\xff\xfe\x00\r\n"s + entries},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TSavedMessages saved(NewFolder("saved") + "/Saved messages.txt");
        if (c.before) WriteFile(saved.Path(), *c.before);
        saved.Append(Entry("new"));
        EXPECT_EQ(ReadFile(saved.Path()), c.after);
    }
}

TEST(SavedMessages, AnEmptyLogLeavesTheFileAsItWas) {
    const TSavedMessages saved(NewFolder("saved") + "/Saved messages.txt");
    saved.Append({});
    ASSERT_TRUE(saved.Exists());
    EXPECT_EQ(ReadFile(saved.Path()), "");

    WriteFile(saved.Path(), "no break\0"s);
    saved.Append({});
    EXPECT_EQ(ReadFile(saved.Path()), "no break\0"s);
}

// An append started again from where an earlier one began writes only what
// that one did not; bytes there that are not its own stay, and it goes after.
TEST(SavedMessages, AnAppendStartedAgainWritesOnlyWhatIsMissing) {
    const std::string old = "old\r\nno final break";
    const std::string entry = TextOf(Entry("new"));
    const std::string text = "\r\n" + entry;
    const struct {
        const char* name;
        std::optional<std::string> there;
        std::uint64_t startedAt;
        std::string after;
    } cases[] = {
        {"nothing written yet", old, old.size(), old + text},
        {"part written", old + text.substr(0, 9), old.size(), old + text},
        {"all written", old + text, old.size(), old + text},
        {"all written, then more", old + text + "more\r\n", old.size(), old + text + "more\r\n"},
        {"other bytes there", old + "other\r\n", old.size(), old + "other\r\n" + entry},
        {"cut shorter meanwhile", "old", old.size(), "old\r\n" + entry},
        {"deleted meanwhile", std::nullopt, old.size(), entry},
        {"begun on a missing file", entry.substr(0, 7), 0, entry},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TSavedMessages saved(NewFolder("saved") + "/Saved messages.txt");
        if (c.there) WriteFile(saved.Path(), *c.there);
        saved.Append(Entry("new"), c.startedAt);
        EXPECT_EQ(ReadFile(saved.Path()), c.after);
    }
}

TEST(SavedMessages, ThreeRunsLeaveThreeEntriesInOrder) {
    const std::string path = NewFolder("saved") + "/Saved messages.txt";
    for (const char* text : {"first", "second", "third"}) TSavedMessages(path).Append(Entry(text));
    EXPECT_EQ(ReadFile(path),
              TextOf(Entry("first")) + TextOf(Entry("second")) + TextOf(Entry("third")));
}

// Fails writes past a size, as a full disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t Limit) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = FOld;
        limit.rlim_cur = Limit;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }

private:
    rlimit FOld{};
    void (*FOldHandler)(int);
};

TEST(SavedMessages, AFailedAppendLosesNothing) {
    const std::string old = "earlier\0entries\nkept"s;
    const std::string dir = NewFolder("saved");

    // The folder does not exist.
    const TSavedMessages nowhere(dir + "/missing/Saved messages.txt");
    EXPECT_EQ(Raised([&] { nowhere.Append(Entry("x")); }),
              "Cannot create file " + dir + "/missing/Saved messages.txt");
    EXPECT_FALSE(fs::exists(dir + "/missing"));

    // The name is taken by a folder.
    fs::create_directories(dir + "/taken/Saved messages.txt");
    const TSavedMessages taken(dir + "/taken/Saved messages.txt");
    EXPECT_EQ(Raised([&] { taken.Append(Entry("x")); }), "Cannot create file " + taken.Path());
    EXPECT_FALSE(taken.Exists());

    // The disk fills up half way through the new entries.
    const TSavedMessages full(dir + "/Saved messages.txt");
    WriteFile(full.Path(), old);
    {
        FileSizeLimit limit(old.size() + 100);
        EXPECT_EQ(Raised([&] { full.Append(Entry(std::string(5000, 'x'))); }),
                  "Cannot create file " + full.Path());
    }
    EXPECT_EQ(ReadFile(full.Path()), old);

    // Nothing to keep, and not even the new file is left behind.
    const TSavedMessages fresh(dir + "/fresh.txt");
    {
        FileSizeLimit limit(10);
        EXPECT_EQ(Raised([&] { fresh.Append(Entry("x")); }), "Cannot create file " + fresh.Path());
    }
    EXPECT_FALSE(fs::exists(fresh.Path()));
}

TEST(SavedMessages, EachFileCallFailingOnceLosesNothingAndTheRetrySucceeds) {
    const std::string old = "earlier\r\nno final break";
    const TStringList entry = Entry("appended once");
    for (const bool existing : {true, false}) {
        SCOPED_TRACE(existing ? "file there" : "no file yet");
        const std::string before = existing ? old : "";
        const std::string after = existing ? old + "\r\n" + TextOf(entry) : TextOf(entry);
        const TSavedMessages saved(NewFolder("failing") + "/Saved messages.txt");
        std::string raised;
        FailEachCallOnce(
            [&] {
                fs::remove(saved.Path());
                if (existing) WriteFile(saved.Path(), old);
            },
            [&] { raised = Raised([&] { saved.Append(entry); }); },
            [&](const std::string& Which) {
                SCOPED_TRACE(Which);
                // Only the best-effort flush of the folder may fail unnoticed.
                if (raised == "(nothing raised)") {
                    EXPECT_EQ(ReadFile(saved.Path()), after);
                    return;
                }
                EXPECT_EQ(raised, "Cannot create file " + saved.Path());
                EXPECT_EQ(saved.Exists(), existing);
                if (existing) {
                    EXPECT_EQ(ReadFile(saved.Path()), before);
                }
                saved.Append(entry);
                EXPECT_EQ(ReadFile(saved.Path()), after);
            });
    }
}

TEST(SavedMessages, AReadOnlyFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec;

    // No file yet: it cannot be created.
    const std::string empty = NewFolder("saved");
    const TSavedMessages none(empty + "/Saved messages.txt");
    fs::permissions(empty, readOnly);
    EXPECT_EQ(Raised([&] { none.Append(Entry("x")); }), "Cannot create file " + none.Path());
    EXPECT_FALSE(none.Exists());

    // A file already there takes new entries, but cannot be deleted.
    const std::string full = NewFolder("saved");
    const TSavedMessages saved(full + "/Saved messages.txt");
    WriteFile(saved.Path(), "old\n");
    fs::permissions(full, readOnly);
    saved.Append(Entry("x"));
    EXPECT_EQ(ReadFile(saved.Path()), "old\n" + TextOf(Entry("x")));
    EXPECT_FALSE(saved.Delete());
    EXPECT_TRUE(saved.Exists());

    fs::permissions(empty, fs::perms::owner_all);
    fs::permissions(full, fs::perms::owner_all);
}

TEST(SavedMessages, ReadExistsAndDelete) {
    const TSavedMessages saved(NewFolder("saved") + "/Saved messages.txt");
    EXPECT_FALSE(saved.Exists());
    EXPECT_EQ(Raised([&] { saved.Read(); }), "Cannot open file " + saved.Path());
    // A missing file is not an error.
    EXPECT_TRUE(saved.Delete());

    const std::string content = "a\0b\r\xff\n"s + std::string(200000, 'z');
    WriteFile(saved.Path(), content);
    EXPECT_TRUE(saved.Exists());
    EXPECT_EQ(saved.Read(), content);
    EXPECT_TRUE(saved.Delete());
    EXPECT_FALSE(saved.Exists());
    EXPECT_EQ(saved.DeleteErrorText(), "Error deleting " + saved.Path());

    // A folder of that name is no saved-messages file and is left alone.
    fs::create_directories(saved.Path());
    EXPECT_FALSE(saved.Exists());
    EXPECT_TRUE(saved.Delete());
    EXPECT_TRUE(fs::is_directory(saved.Path()));
}
}  // namespace
