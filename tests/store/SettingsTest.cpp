#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "store/Settings.h"
#include "tests/store/StoreTestSupport.h"
#include "tests/support/Recorders.h"
#include "tests/support/TestSupport.h"

namespace {
using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::WriteFile;
namespace fs = std::filesystem;

// The options dialog's controls and the main form's fields, without a screen,
// following the same rules: a check box changed runs its click handler, a
// radio button set clears its partner.
struct FakeLive : ILiveSettings {
    std::map<TSettingId, bool> bools;
    std::map<TSettingId, std::string> texts;
    int port = 13769, talkPort = 13770;
    std::vector<std::string> hosts;
    std::string portEdit = "13769", talkPortEdit = "13770";
    std::string exe = "/opt/Wexlo/Bin/wexlo";
    int socketCloses = 0;
    std::vector<std::string> clicks;

    FakeLive() {
        for (const TSettingDef& def : SettingsTable) {
            if (def.Type == TSettingType::Bool) bools[def.Id] = def.DefaultBool;
            if (def.Holder == TSettingHolder::Edit || def.Holder == TSettingHolder::Memo)
                texts[def.Id] = def.DefaultText;
        }
    }

    bool GetBool(TSettingId id) const override { return bools.at(id); }
    void SetBool(TSettingId id, bool value) override {
        const TSettingDef& def = SettingDef(id);
        if (def.Holder == TSettingHolder::RadioButton) {
            bools[id] = value;
            if (value) bools[Partner(id)] = false;
        } else if (bools[id] != value) {
            bools[id] = value;
            clicks.emplace_back(def.Control);
            if (id == TSettingId::EnableAutoResponse && value)
                SetBool(TSettingId::UseDefaultResponse, true);
        }
    }
    static TSettingId Partner(TSettingId id) {
        switch (id) {
            case TSettingId::DefaultSound:
                return TSettingId::CustomSound;
            case TSettingId::CustomSound:
                return TSettingId::DefaultSound;
            case TSettingId::AskForResponse:
                return TSettingId::UseDefaultResponse;
            default:
                return TSettingId::AskForResponse;
        }
    }
    std::string GetText(TSettingId id) const override { return texts.at(id); }
    void SetText(TSettingId id, const std::string& value) override { texts[id] = value; }
    int MessagePort() const override { return port; }
    void SetMessagePort(int value) override { port = value; }
    int TalkPort() const override { return talkPort; }
    void SetTalkPort(int value) override { talkPort = value; }
    std::vector<std::string> RecentHosts() const override { return hosts; }
    void SetRecentHosts(const std::vector<std::string>& value) override { hosts = value; }
    void CloseMessageSockets() override { ++socketCloses; }
    void SetPortEditTexts(const std::string& p, const std::string& t) override {
        portEdit = p;
        talkPortEdit = t;
    }
    std::string ExecutablePath() const override { return exe; }

    // One setting's state as text, to compare holders of any kind.
    std::string Show(TSettingId id) const {
        switch (SettingDef(id).Holder) {
            case TSettingHolder::MessagePort:
                return std::to_string(port);
            case TSettingHolder::TalkPort:
                return std::to_string(talkPort);
            case TSettingHolder::RecentHosts:
                return JoinRecentHosts(hosts);
            case TSettingHolder::Edit:
            case TSettingHolder::Memo:
                return texts.at(id);
            default:
                return bools.at(id) ? "1" : "0";
        }
    }
};

// Every option away from its default, the radio pairs kept consistent.
FakeLive Changed(bool enableAutoResponse = true) {
    FakeLive live;
    for (auto& [id, value] : live.bools) value = !value;
    live.bools[TSettingId::EnableAutoResponse] = enableAutoResponse;
    live.texts[TSettingId::SoundFile] = "/snd/\"odd\" C:\\x\x7f\xff\x01 and\0nul.wav"s;
    live.texts[TSettingId::ResponseMessage] = "Out for lunch\r\nback at two\r\nAlice";
    live.port = 4000;
    live.talkPort = 4100;
    live.hosts = {"alpha", "10.0.0.2"};
    return live;
}

struct Fixture {
    std::string dir;
    testsupport::RecordingMessageBox boxes;
    TRegistryFile registry;
    TAutostart autostart;

    Fixture()
        : dir(NewDir()),
          registry(dir + "/config/wexlo/settings.reg"),
          autostart(dir + "/config/autostart/Wexlo.desktop") {}
    static std::string NewDir() {
        static int n = 0;
        const std::string d = testsupport::TempDir() + "/settings" + std::to_string(++n);
        fs::create_directories(d);
        return d;
    }
    TSettingsStore Store(FakeLive& live) {
        return TSettingsStore(live, boxes, registry, autostart);
    }
    std::string File() const { return ReadFile(registry.Path()); }
};

TEST(Settings, FirstRunSetsOnlyTheSoundFileAndWritesNothing) {
    Fixture f;
    FakeLive live;
    const FakeLive before = live;
    f.Store(live).LoadSettings();
    EXPECT_EQ(live.socketCloses, 1);
    EXPECT_EQ(live.texts[TSettingId::SoundFile], "/opt/wexlo/bin/message.wav");
    live.texts[TSettingId::SoundFile] = "";
    for (const TSettingDef& def : SettingsTable) EXPECT_EQ(live.Show(def.Id), before.Show(def.Id));
    EXPECT_TRUE(live.clicks.empty());
    EXPECT_EQ(live.portEdit + "/" + live.talkPortEdit, "13769/13770");
    EXPECT_FALSE(fs::exists(f.dir + "/config"));
    EXPECT_TRUE(f.boxes.boxes.empty());

    // Where only the file as spelt exists, that is the one that plays.
    const std::string home = f.dir + "/Apps/";
    fs::create_directories(home);
    std::string lower = home + "Message.wav";
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(DefaultSoundFile(home + "wexlo"), lower);
    WriteFile(home + "Message.wav", "RIFF");
    EXPECT_EQ(DefaultSoundFile(home + "wexlo"), home + "Message.wav");
}

TEST(Settings, FirstSaveWritesEveryValueWithItsTypeAndTheAutostartEntry) {
    Fixture f;
    FakeLive live;
    live.texts[TSettingId::SoundFile] = "/opt/wexlo/bin/message.wav";
    f.Store(live).SaveSettings();
    EXPECT_EQ(f.File(),
              "REGEDIT4\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\n"
              "\"Show alert on message\"=dword:00000001\n"
              "\"Show OnTop\"=dword:00000001\n"
              "\"Play sound\"=dword:00000001\n"
              "\"Use Windows default sound\"=dword:00000000\n"
              "\"Use custom sound\"=dword:00000001\n"
              "\"Sound file\"=\"/opt/wexlo/bin/message.wav\"\n"
              "\"Show splash window\"=dword:00000001\n"
              "\"Start with Windows\"=dword:00000001\n"
              "\"Save messages on exit\"=dword:00000000\n"
              "\"Enable auto-reponse on start\"=dword:00000000\n"
              "\"Auto-disable alerts\"=dword:00000001\n"
              "\"Ask for response message\"=dword:00000001\n"
              "\"Use default response\"=dword:00000000\n"
              "\"Response message\"=\"I'll be absent for five minutes\"\n"
              "\"Port\"=dword:000035c9\n"
              "\"Talk Port\"=dword:000035ca\n"
              "\"Recent hosts\"=\"\"\n"
              "\"Announce on network\"=dword:00000001\n"
              "\n");
    EXPECT_NE(ReadFile(f.autostart.Path()).find("\nExec=/opt/Wexlo/Bin/wexlo\n"),
              std::string::npos);
    EXPECT_TRUE(f.boxes.boxes.empty());
}

TEST(Settings, AllSeventeenValuesRoundTrip) {
    Fixture f;
    FakeLive saved = Changed();
    saved.bools[TSettingId::AskForResponse] = true;
    saved.bools[TSettingId::UseDefaultResponse] = false;
    f.Store(saved).SaveSettings();
    const std::string file = f.File();
    EXPECT_NE(file.find("\n\"Response message\"=\"Out for lunch\\r\\nback at two\\r\\nAlice\"\n"),
              std::string::npos);
    EXPECT_NE(file.find("\n\"Recent hosts\"=\"alpha\\r\\n10.0.0.2\\r\\n\"\n"), std::string::npos);
    EXPECT_NE(file.find("\n\"Port\"=dword:00000fa0\n\"Talk Port\"=dword:00001004\n"),
              std::string::npos);

    FakeLive loaded;
    loaded.portEdit = loaded.talkPortEdit = "typed";
    f.Store(loaded).LoadSettings();
    for (const TSettingDef& def : SettingsTable)
        EXPECT_EQ(loaded.Show(def.Id), saved.Show(def.Id)) << def.Name;
    EXPECT_EQ(loaded.portEdit + "/" + loaded.talkPortEdit, "4000/4100");
    // Auto-response at start selected the default response on the way, and
    // the stored pair, read later, is what remains.
    EXPECT_NE(std::find(loaded.clicks.begin(), loaded.clicks.end(), "cbEnableAutoResponse"),
              loaded.clicks.end());
    EXPECT_TRUE(loaded.bools[TSettingId::AskForResponse]);
    EXPECT_FALSE(loaded.bools[TSettingId::UseDefaultResponse]);
    EXPECT_EQ(f.File(), file);  // loading writes nothing
}

// A typo where a number belongs, a number where a text belongs.
TRegValue Mistyped(const TSettingDef& def) {
    return def.Type == TSettingType::String ? DwordValue(1) : TextValue(REG_SZ, "1");
}

TEST(Settings, AnUnreadableValueKeepsItsDefaultAndCostsNoOtherValue) {
    for (const TSettingDef& broken : SettingsTable) {
        SCOPED_TRACE(broken.Name);
        const std::string name(broken.Name);
        // The same store with the value missing instead: what loading looks
        // like when the value is simply not applied.
        Fixture without;
        FakeLive saved = Changed(false);
        without.Store(saved).SaveSettings();
        without.registry.OpenKey(SettingsKeyPath)->DeleteValue(name);
        FakeLive skipped;
        auto skipping = without.Store(skipped);
        skipping.LoadSettings();
        skipping.ReportLoadProblems();
        EXPECT_TRUE(without.boxes.boxes.empty());  // a value left out is no fault

        Fixture f;
        f.Store(saved).SaveSettings();
        f.registry.OpenKey(SettingsKeyPath)->SetValue(name, Mistyped(broken));
        const std::string file = f.File();
        FakeLive loaded;
        const FakeLive before = loaded;
        auto store = f.Store(loaded);
        store.LoadSettings();
        for (const TSettingDef& def : SettingsTable) {
            // A radio button not applied is still cleared by its partner.
            const std::string expected =
                def.Id != broken.Id                         ? saved.Show(def.Id)
                : def.Id == TSettingId::SoundFile           ? DefaultSoundFile(loaded.exe)
                : def.Holder == TSettingHolder::RadioButton ? skipped.Show(def.Id)
                                                            : before.Show(def.Id);
            EXPECT_EQ(loaded.Show(def.Id), expected) << def.Name;
        }
        EXPECT_EQ(loaded.portEdit + "/" + loaded.talkPortEdit,
                  loaded.Show(TSettingId::Port) + "/" + loaded.Show(TSettingId::TalkPort));

        // Told once, when start-up asks.
        EXPECT_TRUE(f.boxes.boxes.empty());
        store.ReportLoadProblems();
        store.ReportLoadProblems();
        ASSERT_EQ(f.boxes.boxes.size(), 1u);
        EXPECT_EQ(f.boxes.boxes[0].text,
                  UnreadableValuesText(f.registry.Path(), {name}, f.registry.BadPath()));
        EXPECT_EQ(f.boxes.boxes[0].caption, "Wexlo - Messages sending utility");
        EXPECT_EQ(f.boxes.boxes[0].icon, TMsgIcon::Warning);

        // The run's save keeps the file as it was, once, and stores the rest.
        store.SaveSettings();
        store.SaveSettings();
        EXPECT_EQ(ReadFile(f.registry.BadPath()), file);
        EXPECT_FALSE(fs::exists(f.registry.BadPath() + ".1"));
        FakeLive next;
        auto nextRun = f.Store(next);
        nextRun.LoadSettings();
        nextRun.ReportLoadProblems();
        for (const TSettingDef& def : SettingsTable)
            EXPECT_EQ(next.Show(def.Id), loaded.Show(def.Id)) << def.Name;
        EXPECT_EQ(f.boxes.boxes.size(), 1u);
    }
}

TEST(Settings, MissingValuesAndOtherTextFormsLoadWithoutATrace) {
    struct Case {
        std::string value;
        std::optional<TRegValue> stored;  // none: deleted
        std::string loadsAs;              // what the changed value reads as
    };
    const Case cases[] = {
        // Numbers and switches keep their defaults.
        {"Show alert on message", std::nullopt, "1"},
        {"Auto-disable alerts", std::nullopt, "1"},
        {"Port", std::nullopt, "13769"},
        // A file from before the announcement option.
        {"Announce on network", std::nullopt, "1"},
        // Texts may be missing, empty, expandable or a list.
        {"Sound file", std::nullopt, ""},
        {"Sound file", TRegValue{REG_SZ, ""}, ""},
        {"Recent hosts", TextValue(REG_EXPAND_SZ, "alpha\n10.0.0.2"), "alpha\r\n10.0.0.2\r\n"},
        {"Recent hosts", TRegValue{REG_MULTI_SZ, "alpha\0beta\0\0"s}, "alpha\r\nbeta\r\n"},
        {"Response message", TRegValue{REG_MULTI_SZ, "Out\0\0"s}, "Out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Fixture f;
        FakeLive saved = Changed(false);
        f.Store(saved).SaveSettings();
        {
            auto key = f.registry.OpenKey(SettingsKeyPath);
            if (c.stored)
                key->SetValue(c.value, *c.stored);
            else
                key->DeleteValue(c.value);
        }
        const std::string file = f.File();

        FakeLive loaded;
        auto store = f.Store(loaded);
        store.LoadSettings();
        for (const TSettingDef& def : SettingsTable)
            EXPECT_EQ(loaded.Show(def.Id), def.Name == c.value ? c.loadsAs : saved.Show(def.Id))
                << def.Name;
        store.ReportLoadProblems();
        EXPECT_TRUE(f.boxes.boxes.empty());
        EXPECT_EQ(f.File(), file);
        store.SaveSettings();
        EXPECT_FALSE(fs::exists(f.registry.BadPath()));
    }
}

TEST(Settings, RecentHostsSplitAtEveryKindOfLineBreak) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"alpha\r\nbeta\r\n", {"alpha", "beta"}},
        {"alpha", {"alpha"}},
        {"a\rb\nc\r\n", {"a", "b", "c"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {"\r\n", {""}},
    };
    for (const auto& [text, hosts] : cases) EXPECT_EQ(SplitRecentHosts(text), hosts) << text;
    EXPECT_EQ(JoinRecentHosts({"alpha", "beta"}), "alpha\r\nbeta\r\n");
    EXPECT_EQ(JoinRecentHosts({}), "");
}

TEST(Settings, AutostartEntryFollowsTheOptionAtEachSave) {
    Fixture f;
    FakeLive live;
    live.exe = "/home/me/My Programs/wexlo";
    f.Store(live).SaveSettings();
    EXPECT_NE(ReadFile(f.autostart.Path()).find("\nExec=\"/home/me/My Programs/wexlo\"\n"),
              std::string::npos);

    live.bools[TSettingId::StartWithWindows] = false;
    f.Store(live).SaveSettings();
    EXPECT_FALSE(fs::exists(f.autostart.Path()));
    f.Store(live).SaveSettings();
    EXPECT_TRUE(f.boxes.boxes.empty());
}

TEST(Settings, StoreContentOfOthersSurvivesSaves) {
    Fixture f;
    fs::create_directories(fs::path(f.registry.Path()).parent_path());
    WriteFile(f.registry.Path(),
              "REGEDIT4\n\n"
              "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\n"
              "\"Window position\"=hex:0a,0b\n"
              "\"Port\"=dword:00000001\n\n"
              "[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Other]\n"
              "; keep me\n");
    FakeLive live;
    f.Store(live).SaveSettings();
    const std::string file = f.File();
    EXPECT_NE(file.find("\"Window position\"=hex:0a,0b\n\"Port\"=dword:000035c9\n"),
              std::string::npos);
    EXPECT_NE(file.find("[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Other]\n; keep me\n"),
              std::string::npos);
}

TEST(Settings, UnwritableStoreShowsOneErrorBoxAndWritesNothing) {
    Fixture f;
    WriteFile(f.dir + "/config", "not a folder");
    FakeLive live;
    f.Store(live).SaveSettings();
    ASSERT_EQ(f.boxes.boxes.size(), 1u);
    EXPECT_EQ(f.boxes.boxes[0].text, "Error while writing in the Windows Registry.");
    EXPECT_EQ(f.boxes.boxes[0].caption, "Error");
    EXPECT_EQ(f.boxes.boxes[0].icon, TMsgIcon::Error);
    EXPECT_EQ(ReadFile(f.dir + "/config"), "not a folder");

    // The store written but the autostart entry not: also one box.
    Fixture g;
    fs::create_directories(g.dir + "/config");
    WriteFile(g.dir + "/config/autostart", "not a folder");
    g.Store(live).SaveSettings();
    EXPECT_EQ(g.boxes.boxes.size(), 1u);
    EXPECT_TRUE(g.registry.OpenKey(SettingsKeyPath));
}

TEST(Settings, SaveFailingHalfWayKeepsTheOldStoreWhole) {
    Fixture f;
    FakeLive live;
    f.Store(live).SaveSettings();
    const std::string before = f.File();
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &limit);
        live.texts[TSettingId::ResponseMessage] = std::string(100000, 'x');
        f.Store(live).SaveSettings();
        _exit(static_cast<int>(f.boxes.boxes.size()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(f.File(), before);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(f.dir + "/config/wexlo"), fs::directory_iterator()),
        1);
}

// The names in the config folders: a temporary file left by a save shows here.
std::vector<std::string> ConfigFiles(const std::string& Dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(Dir + "/config"))
        if (!entry.is_directory()) names.push_back(fs::relative(entry.path(), Dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Settings, EachFileCallFailingOnceLosesNothingAndTheNextSaveSucceeds) {
    const struct {
        const char* name;
        std::string old;  // "" for a store saved with the defaults
    } cases[] = {{"saved store", ""}, {"unparsable store", "garbage\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        FakeLive live = Changed();
        const auto prepare = [&] {
            fs::remove_all(f.dir + "/config");
            f.boxes.boxes.clear();
            if (c.old.empty()) {
                FakeLive defaults;
                f.Store(defaults).SaveSettings();
            } else {
                fs::create_directories(f.dir + "/config/wexlo");
                WriteFile(f.registry.Path(), c.old);
            }
        };
        prepare();
        const std::string before = f.File();
        ASSERT_FALSE(before.empty());
        f.Store(live).SaveSettings();
        ASSERT_TRUE(f.boxes.boxes.empty());
        const std::string after = f.File();
        const std::vector<std::string> files = ConfigFiles(f.dir);

        storetest::FailEachCallOnce(
            prepare, [&] { f.Store(live).SaveSettings(); },
            [&](const std::string& Which) {
                SCOPED_TRACE(Which);
                const std::string now = f.File();
                if (f.boxes.boxes.empty()) {
                    EXPECT_EQ(now, after);  // a best-effort flush
                } else {
                    ASSERT_EQ(f.boxes.boxes.size(), 1u);
                    EXPECT_EQ(f.boxes.boxes[0].text,
                              "Error while writing in the Windows Registry.");
                    EXPECT_TRUE(now == before || now == after) << now;
                }
                for (const std::string& name : ConfigFiles(f.dir))
                    EXPECT_EQ(name.find(".reg."), name.find(".reg.bad")) << name << " left behind";
                f.boxes.boxes.clear();
                f.Store(live).SaveSettings();
                EXPECT_TRUE(f.boxes.boxes.empty());
                EXPECT_EQ(f.File(), after);
                EXPECT_EQ(ConfigFiles(f.dir), files);
            });
    }
}

// Saves Live in a child process that dies by SIGKILL at its KillAt-th file
// call (0: never); its exit status, or 128 + the signal.
int SaveInChild(Fixture& f, FakeLive& Live, int KillAt) {
    const pid_t child = fork();
    if (child == 0) {
        storetest::DieAt(KillAt);
        f.Store(Live).SaveSettings();
        _exit(static_cast<int>(f.boxes.boxes.size()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(Settings, AKillAtAnyMomentOfASaveLeavesTheOldOrTheNewStoreWhole) {
    Fixture f;
    FakeLive defaults, changed = Changed();
    f.Store(defaults).SaveSettings();
    const std::string before = f.File();
    f.Store(changed).SaveSettings();
    const std::string after = f.File();

    // At each file call in turn.
    for (int kill = 1;; ++kill) {
        SCOPED_TRACE("killed at call " + std::to_string(kill));
        f.Store(defaults).SaveSettings();
        const int status = SaveInChild(f, changed, kill);
        const std::string now = f.File();
        EXPECT_TRUE(now == before || now == after) << now;
        if (status == 0) break;
        ASSERT_EQ(status, 128 + SIGKILL);
        ASSERT_LT(kill, 50) << "the save never ends";
        f.Store(changed).SaveSettings();
        EXPECT_EQ(f.File(), after);
    }

    // At random moments of saves one after the other, each of the two stores.
    std::minstd_rand random(std::random_device{}());
    for (int round = 0; round < 20; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            for (int n = 0;; ++n) {
                f.Store(n % 2 ? changed : defaults).SaveSettings();
                if (n == 1 && write(ready[1], "R", 1) != 1) _exit(1);
            }
        }
        close(ready[1]);
        char byte = 0;
        const bool started = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(started);
        const std::string now = f.File();
        ASSERT_TRUE(now == before || now == after) << "round " << round << ":\n" << now;
    }
    EXPECT_TRUE(f.boxes.boxes.empty());
}

TEST(Settings, StoreThatCannotBeReadStartsFromTheFirstRunAndIsTold) {
    Fixture f;
    fs::create_directories(fs::path(f.registry.Path()).parent_path());
    const std::string garbage =
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Drelmo Soft\\Wexlo]\n\"Port\"=";
    WriteFile(f.registry.Path(), garbage);
    FakeLive live;
    const FakeLive before = live;
    auto store = f.Store(live);
    store.LoadSettings();
    EXPECT_EQ(live.socketCloses, 1);
    for (const TSettingDef& def : SettingsTable)
        EXPECT_EQ(live.Show(def.Id), def.Id == TSettingId::SoundFile ? "/opt/wexlo/bin/message.wav"
                                                                     : before.Show(def.Id))
            << def.Name;

    store.ReportLoadProblems();
    ASSERT_EQ(f.boxes.boxes.size(), 1u);
    EXPECT_EQ(f.boxes.boxes[0].text,
              "The settings file " + f.registry.Path() + " could not be read.\rIt is kept as " +
                  f.registry.BadPath() + ", and the default settings are used.");
    EXPECT_EQ(f.boxes.boxes[0].icon, TMsgIcon::Warning);
    // Cancel loads again: nothing more is said.
    store.LoadSettings();
    store.ReportLoadProblems();
    EXPECT_EQ(f.boxes.boxes.size(), 1u);

    store.SaveSettings();
    EXPECT_EQ(f.boxes.boxes.size(), 1u);
    EXPECT_EQ(ReadFile(f.registry.BadPath()), garbage);
    FakeLive loaded;
    f.Store(loaded).LoadSettings();
    EXPECT_EQ(loaded.texts[TSettingId::SoundFile], "/opt/wexlo/bin/message.wav");
    EXPECT_EQ(loaded.portEdit, "13769");

    // A file the system will not hand over is told with the reason.
    Fixture g;
    FakeLive other;
    TSettingsStore unreadable(other, g.boxes, TRegistryFile(g.dir + "/" + std::string(300, 'x')),
                              g.autostart);
    unreadable.LoadSettings();
    unreadable.ReportLoadProblems();
    ASSERT_EQ(g.boxes.boxes.size(), 1u);
    EXPECT_EQ(g.boxes.boxes[0].text.rfind("The settings could not be read (Cannot open ", 0), 0u);
    EXPECT_NE(g.boxes.boxes[0].text.find("File name too long).\rThe default settings are used."),
              std::string::npos);
    EXPECT_EQ(other.texts[TSettingId::SoundFile], "/opt/wexlo/bin/message.wav");
}

// An installed copy (PREFIX/bin/wexlo) plays the chime shipped in
// PREFIX/share/wexlo at first run, unless its own folder has a message.wav.
TEST(Settings, FirstRunSoundIsTheShippedChimeWhenNoneIsBeside) {
    const std::string prefix = testsupport::TempDir() + "/installed";
    fs::create_directories(prefix + "/bin");
    const std::string exe = prefix + "/bin/wexlo";
    std::string lower = prefix + "/bin/message.wav";
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(DefaultSoundFile(exe), lower);  // nothing shipped yet

    fs::create_directories(prefix + "/share/wexlo");
    WriteFile(prefix + "/share/wexlo/message.wav", "RIFF");
    EXPECT_EQ(DefaultSoundFile(exe), prefix + "/share/wexlo/message.wav");

    WriteFile(prefix + "/bin/Message.wav", "RIFF");
    EXPECT_EQ(DefaultSoundFile(exe), prefix + "/bin/Message.wav");
}

}  // namespace
