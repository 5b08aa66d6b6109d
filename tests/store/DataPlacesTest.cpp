#include "store/DataPlaces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

// Sets an environment variable for the length of a scope.
struct ScopedEnv {
    ScopedEnv(const char* Name, const char* Value) : name(Name) {
        if (const char* old = std::getenv(Name)) previous = old, had = true;
        if (Value)
            setenv(Name, Value, 1);
        else
            unsetenv(Name);
    }
    ~ScopedEnv() {
        if (had)
            setenv(name, previous.c_str(), 1);
        else
            unsetenv(name);
    }
    const char* name;
    std::string previous;
    bool had = false;
};

TEST(DataPlaces, UserDataFollowsTheXdgRules) {
    const std::string home = std::getenv("HOME");
    const struct {
        const char* xdg;
        std::string dir;
    } cases[] = {
        {"/srv/data", "/srv/data/wexlo"},
        {nullptr, home + "/.local/share/wexlo"},
        {"", home + "/.local/share/wexlo"},
        {"relative/data", home + "/.local/share/wexlo"},
    };
    for (const auto& c : cases) {
        ScopedEnv data("XDG_DATA_HOME", c.xdg);
        EXPECT_EQ(UserDataDir(), c.dir) << (c.xdg ? c.xdg : "(unset)");
    }
}

// Where "Saved messages.txt" goes for a copy run from a folder.
TEST(DataPlaces, SavedMessagesStayBesideOnlyInAFolderOfTheCopysOwn) {
    const fs::path root = fs::path(TempDir()) / "places";
    const fs::path data = root / "data";
    ScopedEnv env("XDG_DATA_HOME", data.c_str());
    const std::string userFile = (data / "wexlo/Saved messages.txt").string();

    const fs::path portable = root / "portable";
    fs::create_directories(portable);
    const fs::path readOnly = root / "read-only";
    fs::create_directories(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    const fs::path holding = root / "holding";
    fs::create_directories(holding);
    testsupport::WriteFile((holding / "Saved messages.txt").string(), "earlier\r\n");
    fs::permissions(holding, fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    const fs::path linked = root / "linked";
    fs::create_directories(linked);
    fs::create_symlink(root / "elsewhere.txt", linked / "Saved messages.txt");
    fs::permissions(linked, fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    // Installed under a prefix the user can write to (as root, or with
    // DESTDIR), one bin folder already holding a file left there earlier.
    for (const char* prefix : {"prefix", "staged/usr"}) {
        fs::create_directories(root / prefix / "share/wexlo");
        fs::create_directories(root / prefix / "bin");
    }
    testsupport::WriteFile((root / "staged/usr/bin/Saved messages.txt").string(), "left\r\n");
    // Root owns every folder it makes; another user's stands in for one of root's.
    const fs::path foreign = ::geteuid() == 0 ? root / "foreign" : fs::path("/tmp");
    fs::create_directories(foreign);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    }

    // Permission bits do not hold back root; the rows that rely on them are
    // then left out.
    const bool root_user = ::geteuid() == 0;
    const struct {
        const char* name;
        fs::path exeDir;
        std::string file;
        bool needsPermissions;
    } cases[] = {
        {"writable folder (portable copy, build folder)", portable,
         (portable / "Saved messages.txt").string(), false},
        {"folder that is not there", root / "gone", userFile, false},
        {"read-only folder", readOnly, userFile, true},
        {"read-only folder that holds the file", holding, (holding / "Saved messages.txt").string(),
         false},
        {"read-only folder with a link of that name", linked,
         (linked / "Saved messages.txt").string(), false},
        {"installed prefix", root / "prefix/bin", userFile, false},
        {"staged install holding the file", root / "staged/usr/bin", userFile, false},
        {"writable folder of another user", foreign, userFile, false},
    };
    for (const auto& c : cases) {
        if (c.needsPermissions && root_user) continue;
        EXPECT_EQ(SavedMessagesFile(c.exeDir.string()), c.file) << c.name;
    }
    // The user's folder is made, private, when it is chosen.
    struct stat st {};
    ASSERT_EQ(::stat((data / "wexlo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    for (const fs::path& dir : {readOnly, holding, linked})
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
}

TEST(DataPlaces, FolderWritable) {
    const fs::path root = fs::path(TempDir()) / "writable";
    fs::create_directories(root / "dir");
    testsupport::WriteFile((root / "file").string(), "x");
    EXPECT_TRUE(FolderWritable((root / "dir").string()));
    EXPECT_FALSE(FolderWritable((root / "missing").string()));
    EXPECT_FALSE(FolderWritable((root / "file").string()));
    if (::geteuid() != 0) {
        fs::permissions(root / "dir", fs::perms::owner_read | fs::perms::owner_exec,
                        fs::perm_options::replace);
        EXPECT_FALSE(FolderWritable((root / "dir").string()));
        fs::permissions(root / "dir", fs::perms::owner_all, fs::perm_options::replace);
    }
}

TEST(DataPlaces, InstalledDataIsFoundFromTheExecutablesFolder) {
    const fs::path prefix = fs::path(TempDir()) / "prefix";
    fs::create_directories(prefix / "bin");
    const std::string exe = (prefix / "bin/wexlo").string();
    EXPECT_EQ(InstalledDataFile(exe, "message.wav"), "");
    fs::create_directories(prefix / "share/wexlo/message.wav.d");
    EXPECT_EQ(InstalledDataFile(exe, "message.wav.d"), "");  // a folder is no file
    testsupport::WriteFile((prefix / "share/wexlo/message.wav").string(), "RIFF");
    EXPECT_EQ(InstalledDataFile(exe, "message.wav"), (prefix / "share/wexlo/message.wav").string());

    // Reached through a linked bin folder, the file is named where it is.
    const fs::path linkedBin = fs::path(TempDir()) / "linked-bin";
    fs::create_directory_symlink(prefix / "bin", linkedBin);
    EXPECT_EQ(InstalledDataFile((linkedBin / "wexlo").string(), "message.wav"),
              (prefix / "share/wexlo/message.wav").string());
}

}  // namespace
