#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include <QString>

#include "platform/RegistryFile.h"
#include "tests/platform/FileFaults.h"
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

// UTF-8 to UTF-16LE bytes, the toolkit's way.
std::string Utf16(const std::string& Utf8) {
    const QString text = QString::fromUtf8(Utf8.data(), static_cast<qsizetype>(Utf8.size()));
    std::string bytes;
    for (const QChar c : text) {
        bytes += static_cast<char>(c.unicode() & 0xFF);
        bytes += static_cast<char>(c.unicode() >> 8);
    }
    return bytes;
}

// Bytes as the editor's hex lists write them: "41,00,42,00".
std::string HexList(const std::string& Bytes) {
    std::string out;
    char byte[4];
    for (const char c : Bytes) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(c));
        out += (out.empty() ? "" : ",") + std::string(byte);
    }
    return out;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
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

    // Only the changed value's line differs, the deleted one is gone, and the
    // new one ends the key's section; everything else is as it was.
    std::string after = before;
    after.replace(after.find("000035c9"), 8, "00000fa0");
    after.erase(after.find("\"Old\"=\"x\"\r\n"), 11);
    after.insert(after.find("\r\n[-HKEY"), "\"New\"=\"n\"\r\n");
    EXPECT_EQ(ReadFile(reg.Path()), after);

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
        "\xFF\xFE" + Utf16("REGEDIT4" + body) + "x",  // half a character at the end
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

    // Each file call failing once: the file stays as it was (or, when only the
    // folder's flush failed, is the new one), and nothing is left beside it.
    const TRegistryFile reg(dir + "/settings.reg");
    reg.CreateKey(Key)->SetValue("small", DwordValue(7));
    const std::string before = ReadFile(reg.Path());
    bool thrown = false;
    filefaults::FailEachCallOnce(
        [&] { WriteFile(reg.Path(), before); },
        [&] {
            auto big = reg.CreateKey(Key);
            big->SetValue("big", TextValue(REG_SZ, std::string(100000, 'x')));
            thrown = false;
            try {
                big->Close();
            } catch (const ERegistryError&) {
                thrown = true;
            }
        },
        [&](const std::string& Which) {
            EXPECT_EQ(ReadFile(reg.Path()) == before, thrown) << Which;
            // The new file's own flush comes first: failing, it fails the save.
            if (Which == "fsync #1") {
                EXPECT_TRUE(thrown) << "saved without reaching the disk";
            }
            EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"blocker", "settings.reg"}))
                << Which;
        });
}

TEST(RegistryFile, ExportOfTheWindowsEditorIsReadAndSavedInOurForm) {
    const std::string dir = NewDir();
    const TRegistryFile reg(dir + "/settings.reg");
    // Written as regedit does: UTF-16LE with its mark, CR LF, line breaks of
    // a text as they are, texts other than REG_SZ as hex of UTF-16.
    const std::string exported =
        "\xFF\xFE" + Utf16(
                         "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\r\n"
                         "\"Show OnTop\"=dword:00000000\r\n"
                         "\"Sound file\"=\"C:\\\\Sons\\\\Café.wav\"\r\n"
                         "\"Response message\"=\"Parti déjeuner 😀 𝄞\r\nretour à 14 h\"\r\n"
                         "\"Expanded\"=hex(2):" +
                         HexList(Utf16("%USERPROFILE%\\€😀 𝄞")) + ",00,00\r\n" +
                         "\"Recent hosts\"=hex(7):" + HexList(Utf16("alpha")) + ",00,00," +
                         HexList(Utf16("beta")) + ",00,00,00,00\r\n" +
                         "\"Window\"=hex:01,02\r\n"
                         "\r\n"
                         "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Other]\r\n"
                         "\"Name\"=hex(2):" +
                         HexList(Utf16("Zoë")) + ",00,00\r\n\r\n");
    WriteFile(reg.Path(), exported);

    const std::pair<std::string, TRegValue> expected[] = {
        {"Show OnTop", DwordValue(0)},
        {"Sound file", TextValue(REG_SZ, "C:\\Sons\\Café.wav")},
        {"Response message", TextValue(REG_SZ, "Parti déjeuner 😀 𝄞\r\nretour à 14 h")},
        {"Expanded", TextValue(REG_EXPAND_SZ, "%USERPROFILE%\\€😀 𝄞")},
        {"Recent hosts", {REG_MULTI_SZ, "alpha\0beta\0\0"s}},
        {"Window", {REG_BINARY, "\x01\x02"}},
    };
    auto key = reg.OpenKey(Key);
    ASSERT_TRUE(key);
    for (const auto& [name, value] : expected) EXPECT_EQ(key->QueryValue(name), value) << name;
    key.reset();
    EXPECT_EQ(ReadFile(reg.Path()), exported);  // reading alone changes nothing

    // The first save writes our form and keeps the export beside it.
    auto save = reg.CreateKey(Key);
    save->SetValue("Show OnTop", DwordValue(0));
    save->Close();
    EXPECT_EQ(ReadFile(reg.BadPath()), exported);
    const std::string file = ReadFile(reg.Path());
    EXPECT_EQ(file.rfind("REGEDIT4\r\n", 0), 0u) << file;
    EXPECT_NE(file.find("\"Sound file\"=\"C:\\\\Sons\\\\Café.wav\"\r\n"), std::string::npos)
        << file;
    EXPECT_NE(file.find("\"Response message\"=\"Parti déjeuner 😀 𝄞\\r\\nretour à 14 h\"\r\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("\"Name\"=hex(2):" + HexList("Zoë") + ",00\r\n"), std::string::npos)
        << file;
    auto again = reg.OpenKey(Key);
    ASSERT_TRUE(again);
    for (const auto& [name, value] : expected) EXPECT_EQ(again->QueryValue(name), value) << name;
    EXPECT_EQ(reg.OpenKey("Software\\Drelmo Soft\\Other")->QueryValue("Name"),
              TextValue(REG_EXPAND_SZ, "Zoë"));
    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"settings.reg", "settings.reg.bad"}));
}

TEST(RegistryFile, SymbolicLinkKeepsPointingAtTheFileThatIsReplaced) {
    const std::string dir = NewDir();
    fs::create_directories(dir + "/dotfiles/wexlo");
    fs::create_directories(dir + "/config");
    const std::string target = dir + "/dotfiles/wexlo/settings.reg";
    const std::string store = dir + "/config/settings.reg";
    WriteFile(target, "REGEDIT4\n\n[HKEY_CURRENT_USER\\" + Key + "]\n\"Port\"=dword:00000001\n");
    // Not the mode a new file gets: the replaced one keeps its own.
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(target, mode, fs::perm_options::replace);
    // A relative link to a relative link in a folder of another depth, as
    // dotfile managers make them: each resolves from its own folder.
    fs::create_directories(dir + "/links/deep");
    fs::create_symlink("../../dotfiles/wexlo/settings.reg", dir + "/links/deep/middle.reg");
    fs::create_symlink("../links/deep/middle.reg", store);

    const TRegistryFile reg(store);
    EXPECT_EQ(reg.FilePath(), fs::canonical(target).string());
    EXPECT_EQ(reg.OpenKey(Key)->QueryValue("Port"), DwordValue(1));
    reg.CreateKey(Key)->SetValue("Port", DwordValue(2));

    EXPECT_TRUE(fs::is_symlink(store));
    EXPECT_EQ(fs::read_symlink(store), "../links/deep/middle.reg");
    EXPECT_NE(ReadFile(target).find("\"Port\"=dword:00000002"), std::string::npos);
    EXPECT_EQ(fs::status(target).permissions(), mode);
    EXPECT_EQ(FolderEntries(dir + "/config"), std::vector<std::string>{"settings.reg"});
    EXPECT_EQ(FolderEntries(dir + "/dotfiles/wexlo"), std::vector<std::string>{"settings.reg"});

    // A link to a file not made yet makes it there.
    fs::create_symlink("../dotfiles/wexlo/new.reg", dir + "/config/new.reg");
    TRegistryFile dangling(dir + "/config/new.reg");
    dangling.CreateKey(Key)->SetValue("Port", DwordValue(3));
    EXPECT_TRUE(fs::is_symlink(dir + "/config/new.reg"));
    EXPECT_EQ(dangling.OpenKey(Key)->QueryValue("Port"), DwordValue(3));
    EXPECT_EQ(fs::status(dir + "/dotfiles/wexlo/new.reg").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(RegistryFile, WhatIsNoRegularFileIsNeverReadAndMovedAside) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
    };
    const Case cases[] = {
        {"folder", [](const std::string& p) { fs::create_directory(p); }},
        {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
        {"link to a device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }},
        {"link to a fifo",
         [](const std::string& p) {
             ASSERT_EQ(::mkfifo((p + ".fifo").c_str(), 0666), 0);
             fs::create_symlink(p + ".fifo", p);
         }},
        {"link loop", [](const std::string& p) { fs::create_symlink(p, p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = NewDir();
        const TRegistryFile reg(dir + "/settings.reg");
        c.make(reg.Path());
        const fs::file_type type = fs::symlink_status(reg.Path()).type();
        EXPECT_THROW(reg.OpenKey(Key), ERegistryUnparsable);
        EXPECT_EQ(reg.NextBadPath(), reg.BadPath());

        reg.CreateKey(Key)->SetValue("Port", DwordValue(1));
        EXPECT_EQ(fs::symlink_status(reg.BadPath()).type(), type);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(reg.Path())));
        EXPECT_EQ(fs::status(reg.Path()).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(reg.OpenKey(Key)->QueryValue("Port"), DwordValue(1));
    }
}

TEST(RegistryFile, KeyWithVeryManyValuesOpensAndSavesInLinearTime) {
    // 100,000 values took minutes when every value was looked up among all
    // the others; a few seconds of processor time is plenty for linear work,
    // even with sanitizers.
    const TRegistryFile reg(NewDir() + "/settings.reg");
    std::string file = "REGEDIT4\n\n[HKEY_CURRENT_USER\\" + Key + "]\n";
    constexpr int Count = 100000;
    for (int i = 0; i < Count; ++i)
        file += "\"Value " + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    file += "\"VALUE 7\"=dword:00000009\n";  // a later line of the same name wins
    WriteFile(reg.Path(), file);

    const double start = CpuSeconds();
    auto key = reg.OpenKey(Key);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->QueryValue("value 7"), DwordValue(9));
    EXPECT_EQ(key->QueryValue("Value 99999"), DwordValue(9));
    key->SetValue("Port", DwordValue(1));
    key->Close();
    EXPECT_LT(CpuSeconds() - start, 20.0);
    EXPECT_EQ(reg.OpenKey(Key)->QueryValue("Port"), DwordValue(1));
}

}  // namespace
