#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/RegistryFile.h"
#include "tests/support/TestSupport.h"

namespace {
using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::WriteFile;
namespace fs = std::filesystem;

const std::string Key = "Software\\Drelmo Soft\\Wexlo";

// A fresh folder per test, so the tests need no order.
std::string NewDir() {
    static int n = 0;
    const std::string dir = testsupport::TempDir() + "/reg" + std::to_string(++n);
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RegistryFile, FreshStoreHasTheExportShapeAndReadsBack) {
    const TRegistryFile reg(NewDir() + "/wexlo/settings.reg");
    const std::vector<std::pair<std::string, TRegValue>> values = {
        {"Show alert on message", DwordValue(1)},
        {"Response message", TextValue(REG_SZ, "I'll be absent\r\nfor five minutes")},
        {"Some expandable text", TextValue(REG_EXPAND_SZ, "AB")},
        {"", TextValue(REG_SZ, "default")},
        {"No terminator", {REG_SZ, "ab"}},
        {"Empty", {REG_SZ, ""}},
        {"Odd dword", {REG_DWORD, "\x01\x02"s}},
        {"Multi", {7, "a\0b\0\0"s}},
        {"Long", {REG_BINARY, std::string(30, '\x5a')}},
    };
    auto key = reg.CreateKey(Key);
    for (const auto& [name, value] : values) key->SetValue(name, value);
    key->Close();

    EXPECT_EQ(ReadFile(reg.Path()),
              "REGEDIT4\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\n"
              "\"Show alert on message\"=dword:00000001\n"
              "\"Response message\"=\"I'll be absent\\r\\nfor five minutes\"\n"
              "\"Some expandable text\"=hex(2):41,42,00\n"
              "@=\"default\"\n"
              "\"No terminator\"=hex(1):61,62\n"
              "\"Empty\"=hex(1):\n"
              "\"Odd dword\"=hex(4):01,02\n"
              "\"Multi\"=hex(7):61,00,62,00,00\n"
              "\"Long\"=hex:5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,\\\n"
              "  5a,5a,5a,5a,5a,5a,5a,5a\n"
              "\n");
    EXPECT_EQ(fs::status(reg.Path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    auto again = reg.OpenKey(Key);
    ASSERT_TRUE(again);
    for (const auto& [name, value] : values) EXPECT_EQ(again->QueryValue(name), value) << name;
    EXPECT_FALSE(again->QueryValue("Missing"));
}

TEST(RegistryFile, EveryByteSurvivesInTextsAndNames) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string name = "n\"a\\m\r\ne\x01\x7f\xff";
    const TRegistryFile reg(NewDir() + "/settings.reg");
    auto key = reg.CreateKey(Key);
    key->SetValue(name, TextValue(REG_SZ, all));
    key->SetValue("mix", TextValue(REG_SZ, "\"q\" C:\\dir\t\x00\x7f\xff\xe9"s));
    key->Close();

    EXPECT_NE(ReadFile(reg.Path()).find("\"mix\"=\"\\\"q\\\" C:\\\\dir\\x09\\x00\\x7f\xff\xe9\"\n"),
              std::string::npos)
        << ReadFile(reg.Path());
    auto again = reg.OpenKey(Key);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->QueryValue(name), TextValue(REG_SZ, all));
}

TEST(RegistryFile, KeysAreFoundByPathWithoutRegardToCase) {
    const TRegistryFile reg(NewDir() + "/settings.reg");
    EXPECT_FALSE(reg.OpenKey(Key));  // no file at all
    reg.CreateKey(Key)->SetValue("Port", DwordValue(13769));

    EXPECT_TRUE(reg.OpenKey("SOFTWARE\\drelmo soft\\WEXLO"));
    EXPECT_TRUE(reg.OpenKey("Software\\Drelmo Soft"));  // a parent exists with its child
    EXPECT_FALSE(reg.OpenKey("Software\\Drelmo"));      // but not a mere prefix of a name
    EXPECT_FALSE(reg.OpenKey("Software\\Drelmo Soft\\Wexlo\\Sub"));
    EXPECT_EQ(reg.OpenKey(Key)->QueryValue("port"), DwordValue(13769));

    // A key created without values still exists afterwards.
    reg.CreateKey("Software\\Empty")->Close();
    EXPECT_TRUE(reg.OpenKey("Software\\Empty"));
}

TEST(RegistryFile, UnknownContentIsKeptAndOnlyChangedValuesMove) {
    const TRegistryFile reg(NewDir() + "/settings.reg");
    const std::string before =
        "REGEDIT4\r\n"
        "; written by hand\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
        "\"Keep\"=dword:1\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\r\n"
        "\"Window\"=hex:01,02,\\\r\n"
        "    03\r\n"
        "\"Port\"=dword:000035c9\r\n"
        "# not ours\r\n"
        "\"Old\"=\"x\"\r\n"
        "\"Gone\"=-\r\n"
        "\r\n"
        "[-HKEY_CURRENT_USER\\Software\\Removed]\r\n";
    WriteFile(reg.Path(), before);
    auto key = reg.OpenKey(Key);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->QueryValue("Window"), (TRegValue{REG_BINARY, "\x01\x02\x03"}));
    EXPECT_FALSE(key->QueryValue("Gone"));
    key->SetValue("Port", DwordValue(4000));
    key->SetValue("New", TextValue(REG_SZ, "n"));
    EXPECT_TRUE(key->DeleteValue("OLD"));
    EXPECT_FALSE(key->DeleteValue("Never"));
    key->Close();

    EXPECT_EQ(ReadFile(reg.Path()),
              "REGEDIT4\r\n"
              "; written by hand\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
              "\"Keep\"=dword:1\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\r\n"
              "\"Window\"=hex:01,02,\\\r\n"
              "    03\r\n"
              "\"Port\"=dword:00000fa0\r\n"
              "# not ours\r\n"
              "\"Gone\"=-\r\n"
              "\"New\"=\"n\"\r\n"
              "\r\n"
              "[-HKEY_CURRENT_USER\\Software\\Removed]\r\n");

    // Writing what is already there leaves the file alone.
    struct stat st1, st2;
    stat(reg.Path().c_str(), &st1);
    auto same = reg.CreateKey(Key);
    same->SetValue("Port", DwordValue(4000));
    same->Close();
    stat(reg.Path().c_str(), &st2);
    EXPECT_EQ(st1.st_ino, st2.st_ino);

    // Stray CRs in a file of LF lines are content, kept through every save.
    const std::string mixed =
        "REGEDIT4\n; odd\r\r\n\n[HKEY_CURRENT_USER\\" + Key + "]\r\n\"Port\"=dword:1\r\n";
    WriteFile(reg.Path(), mixed);
    reg.CreateKey(Key)->SetValue("New", DwordValue(2));
    EXPECT_EQ(ReadFile(reg.Path()), "REGEDIT4\n; odd\r\r\n\n[HKEY_CURRENT_USER\\" + Key +
                                        "]\n\"Port\"=dword:1\r\n\"New\"=dword:00000002\n");
}

TEST(RegistryFile, ReadsWhatPeopleAndOtherToolsWrite) {
    struct Case {
        std::string line, name;
        TRegValue value;
    };
    const Case cases[] = {
        {"\"a\"=dword:1", "a", DwordValue(1)},
        {"\"a\"=DWORD:FFFFFFFF", "a", DwordValue(0xFFFFFFFF)},
        {"\"a\" = \"spaced\"  ", "a", TextValue(REG_SZ, "spaced")},
        {"\"a\"=\"C:\\Windows\\x\"", "a", TextValue(REG_SZ, "C:\\Windows\\x")},
        {"\"a\"=HEX(2):41, 42 ,00", "a", {REG_EXPAND_SZ, "AB\0"s}},
        {"\"a\"=hex(b):01,00,00,00,00,00,00,00", "a", {11, "\x01\0\0\0\0\0\0\0"s}},
        {"\"a\"=hex:", "a", {REG_BINARY, ""}},
        {"@=\"d\"", "", TextValue(REG_SZ, "d")},
        {"\"a=b\"=\"c\"", "a=b", TextValue(REG_SZ, "c")},
    };
    for (const Case& c : cases) {
        const TRegistryFile reg(NewDir() + "/settings.reg");
        WriteFile(reg.Path(),
                  "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_CURRENT_USER\\" + Key + "]\n" + c.line);
        auto key = reg.OpenKey(Key);
        ASSERT_TRUE(key) << c.line;
        EXPECT_EQ(key->QueryValue(c.name), c.value) << c.line;
    }
    const TRegistryFile empty(NewDir() + "/settings.reg");
    WriteFile(empty.Path(), "");
    EXPECT_FALSE(empty.OpenKey(Key));
}

TEST(RegistryFile, UnparsableFileIsKeptAsBadAndReplaced) {
    const std::string body = "\n[HKEY_CURRENT_USER\\" + Key + "]\n";
    const std::string cases[] = {
        "REGEDIT5" + body,
        "Windows Registry Editor Version 5.00" + body,
        "REGEDIT4" + body + "\"a\"=\"unterminated\n",
        "REGEDIT4" + body + "\"a\"=dword:123456789\n",
        "REGEDIT4" + body + "\"a\"=dword:xyz\n",
        "REGEDIT4" + body + "\"a\"=hex:1,2,\n",
        "REGEDIT4" + body + "\"a\"=hex:123\n",
        "REGEDIT4" + body + "\"a\"=hex:01,\\\n",
        "REGEDIT4" + body + "\"a\"=\"x\" trailing\n",
        "REGEDIT4" + body + "\"a\"=unknown:1\n",
        "REGEDIT4\n\"before any key\"=dword:1\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\n",
    };
    for (const std::string& bad : cases) {
        const std::string dir = NewDir();
        const TRegistryFile reg(dir + "/settings.reg");
        WriteFile(reg.Path(), bad);
        EXPECT_THROW(reg.OpenKey(Key), ERegistryError) << bad;
        EXPECT_EQ(ReadFile(reg.Path()), bad);  // reading alone changes nothing

        auto key = reg.CreateKey(Key);
        key->SetValue("Port", DwordValue(1));
        key->Close();
        EXPECT_EQ(ReadFile(reg.BadPath()), bad);
        auto fresh = reg.OpenKey(Key);
        ASSERT_TRUE(fresh) << bad;
        EXPECT_EQ(fresh->QueryValue("Port"), DwordValue(1));
        EXPECT_EQ(FolderEntries(dir),
                  (std::vector<std::string>{"settings.reg", "settings.reg.bad"}));
    }
}

TEST(RegistryFile, ASecondUnparsableFileKeepsTheFirstBackup) {
    const std::string dir = NewDir();
    const TRegistryFile reg(dir + "/settings.reg");
    for (const std::string bad : {"REGEDIT5 first", "REGEDIT5 second"}) {
        WriteFile(reg.Path(), bad);
        auto key = reg.CreateKey(Key);
        key->SetValue("Port", DwordValue(1));
        key->Close();
    }
    EXPECT_EQ(ReadFile(reg.BadPath()), "REGEDIT5 first");
    EXPECT_EQ(ReadFile(reg.BadPath() + ".1"), "REGEDIT5 second");
}

TEST(RegistryFile, ChangesThroughTwoOpenKeysBothSurvive) {
    const TRegistryFile reg(NewDir() + "/settings.reg");
    auto first = reg.CreateKey(Key);
    auto second = reg.CreateKey("Software\\Other");
    first->SetValue("a", DwordValue(1));
    second->SetValue("b", DwordValue(2));
    first->Close();
    second.reset();  // closing by destruction commits too
    EXPECT_EQ(reg.OpenKey(Key)->QueryValue("a"), DwordValue(1));
    EXPECT_EQ(reg.OpenKey("Software\\Other")->QueryValue("b"), DwordValue(2));
}

TEST(RegistryFile, FailedWritesLeaveTheOldFileAndNoTemporaryFile) {
    // A folder that cannot be made: its parent is a file (root ignores modes).
    const std::string dir = NewDir();
    WriteFile(dir + "/blocker", "x");
    const TRegistryFile blocked(dir + "/blocker/wexlo/settings.reg");
    EXPECT_FALSE(blocked.OpenKey(Key));
    auto key = blocked.CreateKey(Key);
    key->SetValue("a", DwordValue(1));
    EXPECT_THROW(key->Close(), ERegistryError);

    // A write that fails half-way: the file size limit stops it with EFBIG.
    const TRegistryFile reg(dir + "/settings.reg");
    reg.CreateKey(Key)->SetValue("small", DwordValue(7));
    const std::string before = ReadFile(reg.Path());
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        auto big = reg.CreateKey(Key);
        big->SetValue("big", TextValue(REG_SZ, std::string(100000, 'x')));
        try {
            big->Close();
        } catch (const ERegistryError&) {
            _exit(0);
        }
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(reg.Path()), before);
    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"blocker", "settings.reg"}));
}

}  // namespace
