#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Autostart.h"
#include "tests/support/TestSupport.h"

namespace {
using testsupport::ReadFile;
namespace fs = std::filesystem;

TEST(Autostart, ExecQuotesThePathOnlyWhenItMust) {
    struct Case {
        std::string path, exec;
    };
    const Case cases[] = {
        {"/usr/bin/wexlo", "/usr/bin/wexlo"},
        {"/opt/Wexlo 1.5/wexlo", "\"/opt/Wexlo 1.5/wexlo\""},
        {"/opt/100%/wexlo", "/opt/100%%/wexlo"},
        {"/opt/a\"b/wexlo", "\"/opt/a\\\\\"b/wexlo\""},
        {"/opt/$HOME/`x`/wexlo", "\"/opt/\\\\$HOME/\\\\`x\\\\`/wexlo\""},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
        {"/opt/it's (new)/wexlo", "\"/opt/it's (new)/wexlo\""},
        {"/opt/tab\there", "\"/opt/tab\\there\""},
    };
    for (const Case& c : cases) EXPECT_EQ(TAutostart::ExecArgument(c.path), c.exec) << c.path;
}

TEST(Autostart, EnableWritesTheEntryAndDisableRemovesIt) {
    const TAutostart autostart;
    EXPECT_EQ(autostart.Path(), testsupport::TempDir() + "/config/autostart/Wexlo.desktop");

    ASSERT_TRUE(autostart.Enable("/home/me/My Programs/wexlo"));
    EXPECT_EQ(ReadFile(autostart.Path()),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Wexlo\n"
              "TryExec=/home/me/My Programs/wexlo\n"
              "Exec=\"/home/me/My Programs/wexlo\"\n");
    // The program was moved: the entry follows it.
    ASSERT_TRUE(autostart.Enable("/usr/bin/wexlo"));
    EXPECT_NE(ReadFile(autostart.Path()).find("\nExec=/usr/bin/wexlo\n"), std::string::npos);
    EXPECT_EQ(fs::status(autostart.Path()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    EXPECT_TRUE(autostart.Disable());
    EXPECT_FALSE(fs::exists(autostart.Path()));
    EXPECT_TRUE(autostart.Disable());  // nothing to remove is no failure
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(autostart.Path()).parent_path()),
                            fs::directory_iterator()),
              0);
}

TEST(Autostart, AnInstalledCopyIsStartedByItsCommandNameWhenPathFindsIt) {
    const std::string prefix = testsupport::TempDir() + "/autostart prefix";
    const std::string program = prefix + "/bin/wexlo";
    fs::create_directories(prefix + "/bin");
    testsupport::WriteFile(program, "#!/bin/sh\n");
    fs::permissions(program, fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    struct Restore {
        std::string path;
        ~Restore() { setenv("PATH", path.c_str(), 1); }
    } restore{path};

    setenv("PATH", (path + ":" + prefix + "/bin").c_str(), 1);
    EXPECT_EQ(TAutostart::Command(program), program) << "a build tree: no share/wexlo";
    fs::create_directories(prefix + "/share/wexlo");
    EXPECT_EQ(TAutostart::DesktopEntry(program),
              "[Desktop Entry]\nType=Application\nName=Wexlo\nTryExec=wexlo\nExec=wexlo\n");
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(TAutostart::Command(program), program) << "not on PATH";
    const std::string other = testsupport::TempDir() + "/other bin";
    fs::create_directories(other);
    fs::copy_file(program, other + "/wexlo", fs::copy_options::overwrite_existing);
    setenv("PATH", (other + ":" + prefix + "/bin").c_str(), 1);
    EXPECT_EQ(TAutostart::Command(program), program) << "PATH finds another copy first";
}

TEST(Autostart, FailureIsReported) {
    const std::string blocker = testsupport::TempDir() + "/autostart-blocker";
    testsupport::WriteFile(blocker, "x");
    const TAutostart autostart(blocker + "/autostart/Wexlo.desktop");
    std::string error;
    EXPECT_FALSE(autostart.Enable("/usr/bin/wexlo", &error));
    EXPECT_NE(error.find("autostart-blocker"), std::string::npos) << error;
    EXPECT_TRUE(autostart.Disable());  // no entry can be there

    const TAutostart onDir(testsupport::TempDir());  // a folder cannot be removed as an entry
    EXPECT_FALSE(onDir.Disable(&error));
}

}  // namespace
