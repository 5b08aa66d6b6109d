#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include "platform/Exceptions.h"
#include "tests/support/PrivateDesktop.h"
#include "tests/support/TestSupport.h"
#include "ui/NotifyIcon.h"
#include "ui/TrayImages.h"

namespace {

// Keeps what would have reached the notification area.
struct RecordingShell : ITrayShell {
    bool Add(const TNotifyIconData& Data) override { return Log("add", Data); }
    bool Modify(const TNotifyIconData& Data) override { return Log("modify", Data); }
    bool Delete() override {
        calls.push_back("delete");
        return true;
    }
    bool Log(const char* what, const TNotifyIconData& Data) {
        calls.push_back(std::string(what) + (Data.Icon.isNull() ? " noicon" : " icon") + " [" +
                        Data.Tip.toStdString() + "]");
        last = Data;
        return true;
    }
    std::vector<std::string> Take() { return std::exchange(calls, {}); }
    std::vector<std::string> calls;
    TNotifyIconData last;
};

using Calls = std::vector<std::string>;

struct NotifyIconFixture : ::testing::Test {
    RecordingShell* shell = new RecordingShell;
    TNotifyIcon icon{nullptr, std::unique_ptr<ITrayShell>(shell)};
    std::vector<std::string> fired;

    void BindEvents() {
        icon.OnClick = [this](QObject* s) { Fire("click", s); };
        icon.OnDblClick = [this](QObject* s) { Fire("dblclick", s); };
        icon.OnRightClick = [this](QObject* s) { Fire("rightclick", s); };
        icon.OnMouseMove = [this](QObject* s) { Fire("move", s); };
    }
    void Fire(const char* what, QObject* sender) {
        EXPECT_EQ(sender, &icon);
        fired.push_back(what);
    }
    void Mouse(std::initializer_list<int> messages) {
        for (int m : messages) shell->Callback(m);
    }

    // Updates go out when the test says, at the time it sets.
    qint64 now = 1000;
    std::vector<int> scheduled;
    NotifyIconFixture() {
        icon.SetUpdatePacing({[this] { return now; }, [this](int ms) { scheduled.push_back(ms); }});
    }
};

TEST_F(NotifyIconFixture, OnlyTheFirst63CharactersReachTheTray) {
    const QString a62(62, u'a'), a63(63, u'a');
    struct Case {
        QString tip, shown;
    } cases[] = {
        {"", ""},
        {"Wexlo", "Wexlo"},
        {a63, a63},
        {a63 + "b", a63},
        {QString(70, u'x'), QString(63, u'x')},
        {QString(63, u'\u00e9') + "tail", QString(63, u'\u00e9')},
        // A character outside the basic plane is not cut in half.
        {a62 + QString::fromUtf8("\xF0\x9F\x98\x80") + "z", a62},
    };
    icon.SetVisible(true);
    for (const Case& c : cases) {
        icon.SetToolTip(c.tip);
        icon.SendUpdate();
        EXPECT_EQ(shell->last.Tip, c.shown) << c.tip.toStdString();
        EXPECT_EQ(icon.ToolTip(), c.tip);  // the property keeps the whole text
    }
}

TEST_F(NotifyIconFixture, VisibleAddsOnceAndRemovesOnce) {
    icon.SetVisible(true);
    icon.SetVisible(true);
    EXPECT_EQ(shell->Take(), Calls{"add noicon []"});
    icon.SetVisible(false);
    icon.SetVisible(false);
    EXPECT_EQ(shell->Take(), Calls{"delete"});
    EXPECT_FALSE(icon.Visible());
}

TEST_F(NotifyIconFixture, ChangesWhileHiddenWaitForTheNextAdd) {
    icon.SetIcon(TrayImage(2));
    icon.SetToolTip("3 unread message(s)");
    EXPECT_TRUE(shell->Take().empty());

    icon.SetVisible(true);
    EXPECT_EQ(shell->Take(), Calls{"add icon [3 unread message(s)]"});
    EXPECT_EQ(shell->last.Icon.cacheKey(), icon.Icon().cacheKey());

    icon.SetToolTip("Wexlo");
    icon.SetIcon(QIcon());
    icon.SendUpdate();
    EXPECT_EQ(shell->Take(), (Calls{"modify noicon [Wexlo]"}));
}

TEST_F(NotifyIconFixture, UpdatesGoOutTogetherAtMostTenTimesASecondAndOnlyWhenChanged) {
    icon.SetIcon(TrayImage(0));
    icon.SetToolTip("Wexlo");
    icon.SetVisible(true);
    shell->Take();
    const struct Step {
        qint64 at;
        std::function<void()> change;
        int delay;  // -1: nothing scheduled
        Calls sent;
    } steps[] = {
        // Image and text of one state change make one update, after the
        // interval since the add has passed.
        {1010,
         [&] { icon.SetIcon(TrayImage(2)), icon.SetToolTip("1 unread message(s)"); },
         90,
         {"modify icon [1 unread message(s)]"}},
        // A flood within the interval: one update with the last state.
        {1150,
         [&] {
             for (int i = 2; i <= 50; ++i)
                 icon.SetToolTip(QString::number(i) + " unread message(s)");
         },
         50,
         {"modify icon [50 unread message(s)]"}},
        // Long after the last one: at once, after the event.
        {5000, [&] { icon.SetToolTip("Wexlo"); }, 0, {"modify icon [Wexlo]"}},
        // Nothing changed, or changed and back: nothing sent.
        {6000, [&] { icon.SetToolTip("Wexlo"); }, 0, {}},
        {7000, [&] { icon.SetIcon(TrayImage(1)), icon.SetIcon(TrayImage(2)); }, 0, {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at);
        now = step.at;
        scheduled.clear();
        step.change();
        EXPECT_EQ(scheduled, step.delay < 0 ? std::vector<int>{} : std::vector<int>{step.delay});
        EXPECT_TRUE(shell->Take().empty());
        now += scheduled.empty() ? 0 : scheduled[0];
        icon.SendUpdate();
        EXPECT_EQ(shell->Take(), step.sent);
        EXPECT_FALSE(icon.UpdatePending());
    }

    // A change on its way when the icon is removed goes nowhere.
    icon.SetToolTip("gone");
    icon.SetVisible(false);
    icon.SendUpdate();
    EXPECT_EQ(shell->Take(), Calls{"delete"});
}

TEST(NotifyIcon, TheTimerSendsTheLastStateOfAFlood) {
    auto* shell = new RecordingShell;
    TNotifyIcon icon(nullptr, std::unique_ptr<ITrayShell>(shell));
    icon.SetVisible(true);
    for (int i = 1; i <= 500; ++i) icon.SetToolTip(QString::number(i) + " unread message(s)");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !icon.UpdatePending(); }));
    EXPECT_EQ(shell->Take(), (Calls{"add noicon []", "modify noicon [500 unread message(s)]"}));
}

TEST(NotifyIcon, DestroyingAVisibleIconRemovesIt) {
    auto log = std::make_shared<std::vector<std::string>>();
    struct SharedLogShell : RecordingShell {
        explicit SharedLogShell(std::shared_ptr<std::vector<std::string>> l) : log(std::move(l)) {}
        ~SharedLogShell() override { *log = calls; }
        std::shared_ptr<std::vector<std::string>> log;
    };
    {
        TNotifyIcon shown(nullptr, std::make_unique<SharedLogShell>(log));
        shown.SetVisible(true);
    }
    EXPECT_EQ(*log, (Calls{"add noicon []", "delete"}));
    { TNotifyIcon hidden(nullptr, std::make_unique<SharedLogShell>(log)); }
    EXPECT_TRUE(log->empty());
}

TEST_F(NotifyIconFixture, MouseMessagesMapToEvents) {
    BindEvents();
    struct Case {
        std::initializer_list<int> messages;
        std::vector<std::string> events;
    } cases[] = {
        {{WM_MOUSEMOVE}, {"move"}},
        {{WM_LBUTTONDOWN, WM_LBUTTONUP}, {"click"}},
        // A double click: the first press, then the double-click message.
        {{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}, {"click", "dblclick"}},
        {{WM_RBUTTONDOWN}, {}},
        {{WM_RBUTTONDOWN, WM_RBUTTONUP}, {"rightclick"}},
        {{0, 1025, 519, 520}, {}},
    };
    for (const Case& c : cases) {
        fired.clear();
        Mouse(c.messages);
        EXPECT_EQ(fired, c.events);
    }
}

TEST_F(NotifyIconFixture, UnboundEventsAreIgnored) {
    Mouse({WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP});
    EXPECT_TRUE(fired.empty());
}

TEST_F(NotifyIconFixture, RightClickPopsTheMenuUpThenFires) {
    QMenu menu;
    menu.addAction("E&xit");
    icon.SetPopupMenu(&menu);
    bool menuShownFirst = false;
    icon.OnRightClick = [&](QObject*) { menuShownFirst = menu.isVisible(); };
    Mouse({WM_RBUTTONUP});
    EXPECT_TRUE(menuShownFirst);
    menu.hide();

    // No menu: nothing pops up, the event still comes.
    icon.SetPopupMenu(nullptr);
    int rightClicks = 0;
    icon.OnRightClick = [&](QObject*) { ++rightClicks; };
    Mouse({WM_RBUTTONUP});
    EXPECT_EQ(rightClicks, 1);
    EXPECT_FALSE(menu.isVisible());
}

TEST_F(NotifyIconFixture, HandlerFailuresGoToTheApplicationHandler) {
    std::string reported;
    TExceptionEvent previous =
        SetExceptionHandler([&](QObject*, const Exception& E) { reported = E.Message(); });
    icon.OnDblClick = [](QObject*) { throw Exception("window failed"); };
    EXPECT_NO_THROW(Mouse({WM_LBUTTONDBLCLK}));
    EXPECT_EQ(reported, "window failed");
    SetExceptionHandler(previous);
}

// The real shell over QSystemTrayIcon, on a platform without a tray.
TEST(SystemTrayShell, WorksWithoutANotificationAreaAndMapsActivations) {
    TSystemTrayShell shell;
    std::vector<int> messages;
    shell.Callback = [&](int m) { messages.push_back(m); };
    EXPECT_FALSE(shell.Modify({QIcon(), "early"}));  // nothing to modify yet

    QMenu menu;
    menu.addAction("&Disable alerts && sounds temporally");
    shell.Add({TrayImage(0), "Wexlo", &menu});
    ASSERT_NE(shell.TrayIcon(), nullptr);
    EXPECT_EQ(shell.TrayIcon()->toolTip(), "Wexlo");
    EXPECT_EQ(shell.TrayIcon()->contextMenu(), &menu);
    // No tray here, so no desktop bus either: captions and clicks stay as they are.
    EXPECT_FALSE(shell.OnDesktopBus());
    EXPECT_EQ(menu.actions().front()->text(), "&Disable alerts && sounds temporally");
    EXPECT_TRUE(shell.Modify({TrayImage(1), "Wexlo (Alerts disabled)"}));
    EXPECT_EQ(shell.TrayIcon()->toolTip(), "Wexlo (Alerts disabled)");

    for (auto reason :
         {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Context,
          QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
        emit shell.TrayIcon()->activated(reason);
    EXPECT_EQ(messages, (std::vector<int>{WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP}));

    EXPECT_TRUE(shell.Delete());
    EXPECT_EQ(shell.TrayIcon(), nullptr);
    EXPECT_FALSE(shell.Delete());
}

// Qt turns the first '&' of a caption into the bus's access-key mark '_' and
// passes everything else on; what it is given must come out as the screen
// shows the caption.
TEST(BusMenuCaption, ComesOutOnTheBusAsOnTheScreen) {
    const auto qtExport = [](QString text) {
        const qsizetype at = text.indexOf(u'&');
        if (at >= 0 && at + 1 < text.size()) text[at] = u'_';
        return text;
    };
    const struct {
        QString caption, onBus;
    } cases[] = {
        {"&Send a message...", "_Send a message..."},
        {"E&xit", "E_xit"},
        {"&Disable alerts && sounds temporally", "_Disable alerts & sounds temporally"},
        // The bus marks one access key; the screen's second one just goes.
        {"Show &received &messages...", "Show _received messages..."},
        {"No key", "No key"},
        // A literal '&' ahead of the access key would take Qt's mark: it is
        // marked itself and still reads '&'.
        {"R && D &notes", "R _& D notes"},
        {"A && B && C", "A _& B & C"},
        {"snake_case &file", "snake__case _file"},
        {"trailing &", "trailing &"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qtExport(BusMenuCaption(c.caption)), c.onBus) << c.caption.toStdString();
}

TEST_F(NotifyIconFixture, TheMenuGoesToTheTrayWithTheIcon) {
    QMenu menu;
    icon.SetPopupMenu(&menu);
    icon.SetVisible(true);
    EXPECT_EQ(shell->last.Menu, &menu);
    icon.SetPopupMenu(nullptr);  // only stored until the next add or modify
    EXPECT_EQ(shell->last.Menu, &menu);
    icon.SetToolTip("next");
    icon.SendUpdate();
    EXPECT_EQ(shell->last.Menu, nullptr);
}

TEST(PlainTrayText, MarkupInPeerNamesStaysText) {
    const QString hostile[] = {
        "<b>bold</b> (10.0.0.1) has alerts disabled temporally",
        "x (1.2.3.4) <img src=\"/dev/zero\">",
        "Connecting to &lt;script&gt;...",
        "<!doctype html><p>hi",
        "Message send to a<br>b (10.0.0.2)",
    };
    for (const QString& text : hostile) {
        ASSERT_TRUE(Qt::mightBeRichText(text)) << text.toStdString();
        const QString plain = PlainTrayText(text);
        EXPECT_FALSE(Qt::mightBeRichText(plain)) << text.toStdString();
        QString visible = plain;
        visible.remove(QChar(0x200B));
        EXPECT_EQ(visible, text);
    }
    EXPECT_EQ(PlainTrayText("Wexlo (Auto-response mode)"), "Wexlo (Auto-response mode)");
}

}  // namespace

// ---- The real program on a desktop whose tray speaks the desktop bus

namespace desktopbus {

namespace fs = std::filesystem;
using testsupport::CallOnBus;
using testsupport::TBusMenuItem;
using testsupport::WaitUntil;

// The real program on a desktop of the test's own.
struct ProgramOnDesktop : ::testing::Test {
    // False (with the test skipped) when a tool is missing.
    bool StartDesktop() {
        const std::string why = desktop.Start();
        if (why.rfind("missing", 0) == 0) {
            skipped = why;
            return false;
        }
        EXPECT_EQ(why, "");
        return why.empty();
    }

    void StartProgram() {
        root = fs::path(testsupport::TempDir()) / "program";
        for (const char* sub : {"config/wexlo", "state", "data", "runtime"})
            fs::create_directories(root / sub);
        fs::permissions(root / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        testsupport::WriteFile((root / "config/wexlo/settings.reg").string(),
                               testsupport::SettingsUpToPort(testsupport::FreeTcpPort()));

        auto env = desktop.Environment(QProcessEnvironment::systemEnvironment());
        const auto at = [this](const char* sub) {
            return QString::fromStdString((root / sub).string());
        };
        env.insert("HOME", at(""));
        env.insert("XDG_CONFIG_HOME", at("config"));
        env.insert("XDG_STATE_HOME", at("state"));
        env.insert("XDG_DATA_HOME", at("data"));
        env.insert("XDG_RUNTIME_DIR", at("runtime"));
        env.insert("WEXLO_MESSAGE_BOX_LOG", at("boxes.log"));
        env.remove("SESSION_MANAGER");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        testsupport::EndWithTest(program);
        program.start(QString::fromStdString(testsupport::BuildDir() + "/wexlo"), {});
        ASSERT_TRUE(program.waitForStarted(10000));
    }

    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(5000);
        }
    }

    bool WindowShown(const std::string& Title) const {
        for (const std::string& title : desktop.WindowTitles())
            if (title == Title) return true;
        return false;
    }

    std::string Boxes() const { return testsupport::ReadFile((root / "boxes.log").string()); }

    testsupport::TPrivateDesktop desktop;
    std::string skipped;
    fs::path root;
    QProcess program;
};

// A tray that speaks the desktop bus: a stand-in watcher on the private bus.
struct ProgramOnBus : ProgramOnDesktop {
    void SetUp() override {
        if (!StartDesktop()) GTEST_SKIP() << skipped;
        bus = desktop.Bus();
        host = testsupport::TStandInWatcher::Serve(bus, &watcher);
        StartProgram();
        ASSERT_TRUE(WaitUntil([this] { return !watcher->Items().isEmpty(); }, 30000))
            << "no item registered with the tray";
        item = watcher->Items().front();
    }

    QVariant ItemProperty(const char* Name) {
        const QDBusMessage reply =
            CallOnBus(bus, item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                      {"org.kde.StatusNotifierItem", Name});
        if (reply.arguments().isEmpty()) return {};
        return qvariant_cast<QDBusVariant>(reply.arguments().front()).variant();
    }

    QDBusMessage CallItem(const char* Method) {
        return CallOnBus(bus, item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", Method,
                         {0, 0});
    }

    QDBusConnection bus{QString()};
    testsupport::TStandInWatcher* watcher = nullptr;
    std::unique_ptr<QObject> host;
    QString item;
};

// An X11 tray (XEmbed) and no watcher on the bus.
struct ProgramInX11Tray : ProgramOnDesktop {
    void SetUp() override {
        if (!StartDesktop()) GTEST_SKIP() << skipped;
        const std::string why = desktop.StartX11Tray();
        if (why.rfind("missing", 0) == 0) GTEST_SKIP() << why;
        ASSERT_EQ(why, "");
        StartProgram();
        ASSERT_TRUE(WaitUntil([this] { return (icon = desktop.DockedIcon()) != 0; }, 30000))
            << "the icon did not dock";
    }
    std::uint32_t icon = 0;
};

// The exported menu's items: "-" for a separator, else the label, then
// " [off]" when disabled, " [check:N]" for a check item in state N and
// " [image]" when the item carries a picture.
std::vector<std::string> Items(const TBusMenuItem& Root) {
    std::vector<std::string> items;
    for (const TBusMenuItem& item : Root.Children) {
        const QVariantMap& p = item.Properties;
        if (p.value("type").toString() == "separator") {
            items.push_back("-");
            continue;
        }
        std::string line = p.value("label").toString().toStdString();
        if (!p.value("enabled", true).toBool()) line += " [off]";
        if (p.value("toggle-type").toString() == "checkmark")
            line += " [check:" + std::to_string(p.value("toggle-state").toInt()) + "]";
        if (!p.value("icon-data").toByteArray().isEmpty()) line += " [image]";
        items.push_back(line);
    }
    return items;
}

int IdOf(const TBusMenuItem& Root, const QString& Label) {
    for (const TBusMenuItem& item : Root.Children)
        if (item.Properties.value("label").toString() == Label) return item.Id;
    return -1;
}

TEST_F(ProgramOnBus, TheTrayMenuIsExportedWithItsItemsStatesAndImages) {
    EXPECT_EQ(qvariant_cast<QDBusObjectPath>(ItemProperty("Menu")).path(), "/MenuBar");

    const auto read = [this] {
        TBusMenuItem layout;
        std::string error;
        EXPECT_TRUE(testsupport::ReadBusMenu(bus, item, "/MenuBar", layout, error)) << error;
        return layout;
    };
    TBusMenuItem layout = read();
    // '_' marks the access key there; each label reads as on the screen.
    EXPECT_EQ(Items(layout), (std::vector<std::string>{
                                 "_Send a message... [image]",
                                 "_Resend last message... [image]",
                                 "Open _Talk window [image]",
                                 "-",
                                 "_Options... [image]",
                                 "_Disable alerts & sounds temporally [check:0]",
                                 "_Auto-response incoming messages [check:0]",
                                 "C_hange current response... [off]",
                                 "-",
                                 "Show _received messages... [image]",
                                 "Show sa_ved messages... [image]",
                                 "Show session _log... [image]",
                                 "_Close all message windows [image]",
                                 "-",
                                 "_About...",
                                 "E_xit [image]",
                             }));

    // Clicks in the panel's menu are the menu's commands, and states follow.
    const auto click = [&](const char* Label) {
        const int id = IdOf(layout, Label);
        ASSERT_GE(id, 0) << Label;
        CallOnBus(bus, item, "/MenuBar", "com.canonical.dbusmenu", "Event",
                  {id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    };
    click("_Disable alerts & sounds temporally");
    EXPECT_TRUE(WaitUntil(
        [&] {
            layout = read();
            const std::vector<std::string> items = Items(layout);
            return items.size() > 5 && items[5] == "_Disable alerts & sounds temporally [check:1]";
        },
        20000));
    click("Show _received messages...");
    EXPECT_TRUE(WaitUntil(
        [&] { return Boxes().find("\tNo messages has been received.\t") != std::string::npos; },
        20000))
        << Boxes();
    click("E_xit");
    ASSERT_TRUE(WaitUntil([&] { return program.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

TEST_F(ProgramOnBus, OneActivationWritesAMessageAndTheMenuCanBeAskedFor) {
    const auto sendDialogShown = [this] { return WindowShown("Wexlo  -  Send a message"); };
    ASSERT_FALSE(sendDialogShown());
    EXPECT_EQ(CallItem("Activate").type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(WaitUntil(sendDialogShown, 20000));

    // A tray that draws no menus asks the item to show its own.
    EXPECT_FALSE(desktop.PopupShown());
    EXPECT_EQ(CallItem("ContextMenu").type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(WaitUntil([this] { return desktop.PopupShown(); }, 20000));
}

// The tray menu also goes to Qt's X11 tray icon, which opens it itself: there
// a click stays a click, the double click writes a message, and the menu
// opens.
TEST_F(ProgramInX11Tray, ClickDoubleClickAndMenuStayAsTheyWere) {
    const auto sendDialogShown = [this] { return WindowShown("Wexlo  -  Send a message"); };
    ASSERT_TRUE(desktop.Click(icon, 1));
    ASSERT_TRUE(desktop.Click(icon, 3));
    // The menu comes after the click: had the click opened the dialog, it
    // would be there by now.
    ASSERT_TRUE(WaitUntil([this] { return desktop.PopupShown(); }, 20000));
    EXPECT_FALSE(sendDialogShown());
    ASSERT_TRUE(desktop.Key("Escape"));
    ASSERT_TRUE(WaitUntil([this] { return !desktop.PopupShown(); }, 20000));

    ASSERT_TRUE(desktop.Click(icon, 1, 2));
    EXPECT_TRUE(WaitUntil(sendDialogShown, 20000));
}

}  // namespace desktopbus
