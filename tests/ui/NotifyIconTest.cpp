#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include "platform/Exceptions.h"
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

    shell.Add({TrayImage(0), "Wexlo"});
    ASSERT_NE(shell.TrayIcon(), nullptr);
    EXPECT_EQ(shell.TrayIcon()->toolTip(), "Wexlo");
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
