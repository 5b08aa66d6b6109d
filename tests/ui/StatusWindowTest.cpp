#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QToolButton>

#include "ui/NotifyIcon.h"
#include "ui/StatusWindow.h"
#include "ui/TrayImages.h"

namespace {

struct FakePresence : ITrayPresence {
    TTrayPresence Presence() const override { return now; }
    void Set(TTrayPresence value) {
        now = value;
        if (OnChange) OnChange();
    }
    TTrayPresence now = TTrayPresence::Absent;
};

struct RecordingTray : ITrayShell {
    bool Add(const TNotifyIconData& Data) override {
        calls.push_back("add [" + Data.Tip.toStdString() + "]");
        return true;
    }
    bool Modify(const TNotifyIconData& Data) override {
        calls.push_back("modify [" + Data.Tip.toStdString() + "]");
        return true;
    }
    bool Delete() override {
        calls.push_back("delete");
        return true;
    }
    std::vector<std::string> Take() { return std::exchange(calls, {}); }
    std::vector<std::string> calls;
};

using Calls = std::vector<std::string>;

// What Qt delivers for a click: press and release; for a double click the
// second press arrives as the double-click event.
void Click(QWidget* w, Qt::MouseButton button, bool twice = false) {
    const QPointF at(w->width() / 2, w->height() / 2);
    auto send = [&](QEvent::Type type, Qt::MouseButtons held) {
        QMouseEvent event(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    };
    send(QEvent::MouseButtonPress, button);
    send(QEvent::MouseButtonRelease, Qt::NoButton);
    if (!twice) return;
    send(QEvent::MouseButtonDblClick, button);
    send(QEvent::MouseButtonRelease, Qt::NoButton);
}

struct StatusWindowFixture : ::testing::Test {
    FakePresence* presence = new FakePresence;
    RecordingTray* tray = new RecordingTray;
    TDesktopTrayShell* desktop = new TDesktopTrayShell(std::unique_ptr<ITrayPresence>(presence),
                                                       std::unique_ptr<ITrayShell>(tray));
    TNotifyIcon icon{nullptr, std::unique_ptr<ITrayShell>(desktop)};

    TStatusWindow* Window() const { return desktop->StatusWindow(); }
    bool WindowShown() const { return Window() && Window()->isVisible(); }

    void ShowIcon(TTrayPresence initially) {
        presence->now = initially;
        desktop->SetFallbackAllowed(true);
        icon.SetIcon(TrayImage(0));
        icon.SetToolTip("Wexlo");
        icon.SetVisible(true);
    }
};

TEST_F(StatusWindowFixture, StandsInWhileThereIsNoTrayAndMovesIntoIt) {
    ShowIcon(TTrayPresence::Absent);
    ASSERT_TRUE(WindowShown());
    EXPECT_EQ(Window()->HintLabel()->text(), "Wexlo");
    EXPECT_TRUE(tray->Take().empty());

    icon.SetToolTip("2 unread message(s)");
    icon.SendUpdate();
    EXPECT_EQ(Window()->HintLabel()->text(), "2 unread message(s)");

    presence->Set(TTrayPresence::Present);  // a panel with a tray started
    EXPECT_FALSE(WindowShown());
    EXPECT_EQ(tray->Take(), Calls{"add [2 unread message(s)]"});
    icon.SetToolTip("Wexlo");
    icon.SendUpdate();
    EXPECT_EQ(tray->Take(), Calls{"modify [Wexlo]"});

    presence->Set(TTrayPresence::Absent);  // and went away again
    EXPECT_EQ(tray->Take(), Calls{"delete"});
    EXPECT_TRUE(WindowShown());
    EXPECT_EQ(Window()->HintLabel()->text(), "Wexlo");

    icon.SetVisible(false);
    EXPECT_FALSE(WindowShown());
    EXPECT_TRUE(tray->Take().empty());
}

TEST_F(StatusWindowFixture, NothingShowsWhileTheAnswerIsPendingOrNotAllowed) {
    ShowIcon(TTrayPresence::Unknown);
    EXPECT_EQ(desktop->Place(), TDesktopTrayShell::TPlace::None);
    EXPECT_EQ(Window(), nullptr);
    presence->Set(TTrayPresence::Present);
    EXPECT_EQ(tray->Take(), Calls{"add [Wexlo]"});

    desktop->SetFallbackAllowed(false);
    presence->Set(TTrayPresence::Absent);
    EXPECT_EQ(tray->Take(), Calls{"delete"});
    EXPECT_EQ(desktop->Place(), TDesktopTrayShell::TPlace::None);
    EXPECT_FALSE(WindowShown());
}

TEST(StatusWindowDefaults, NeverShowsOnTheOffscreenPlatform) {
    EXPECT_FALSE(TDesktopTrayShell::FallbackAllowedByDefault());
    // The real watcher: no X server and no desktop bus here.
    TTrayWatcher watcher;
    EXPECT_EQ(watcher.Presence(), TTrayPresence::Absent);

    TNotifyIcon icon;
    icon.SetToolTip("Wexlo");
    icon.SetVisible(true);
    TDesktopTrayShell* desktop = TDesktopTrayShell::Of(icon);
    ASSERT_NE(desktop, nullptr);
    EXPECT_EQ(desktop->Place(), TDesktopTrayShell::TPlace::None);
    EXPECT_EQ(desktop->StatusWindow(), nullptr);

    // Asked for explicitly, it shows even here.
    desktop->SetFallbackAllowed(true);
    ASSERT_NE(desktop->StatusWindow(), nullptr);
    EXPECT_TRUE(desktop->StatusWindow()->isVisible());
    EXPECT_EQ(desktop->StatusWindow()->ShownTip(), "Wexlo");
}

TEST_F(StatusWindowFixture, GesturesAreTheTrayIconsGestures) {
    ShowIcon(TTrayPresence::Absent);
    std::vector<std::string> fired;
    QMenu menu;
    menu.addAction("E&xit");
    icon.SetPopupMenu(&menu);
    icon.OnClick = [&](QObject*) { fired.push_back("click"); };
    icon.OnDblClick = [&](QObject*) { fired.push_back("dblclick"); };
    icon.OnRightClick = [&](QObject*) {
        fired.push_back(menu.isVisible() ? "rightclick+menu" : "rightclick");
    };

    QWidget* w = Window();
    Click(w, Qt::LeftButton);
    EXPECT_EQ(fired, std::vector<std::string>{"click"});
    fired.clear();

    Click(w, Qt::LeftButton, true);
    EXPECT_EQ(fired, (std::vector<std::string>{"click", "dblclick"}));
    fired.clear();

    Click(w, Qt::RightButton);
    EXPECT_EQ(fired, std::vector<std::string>{"rightclick+menu"});
    menu.hide();
    fired.clear();

    Window()->MenuButton()->click();
    EXPECT_EQ(fired, std::vector<std::string>{"rightclick+menu"});
    menu.hide();
}

TEST_F(StatusWindowFixture, ShowsPeerTextAsPlainText) {
    ShowIcon(TTrayPresence::Absent);
    const QString hostile = "<img src=\"/dev/zero\"> (10.0.0.9) has alerts disabled";
    icon.SetToolTip(hostile);
    icon.SendUpdate();
    EXPECT_EQ(Window()->HintLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(Window()->HintLabel()->text(), hostile.left(TNotifyIcon::MaxTipLength));
}

TEST_F(StatusWindowFixture, ClosingKeepsTheWindowAround) {
    ShowIcon(TTrayPresence::Absent);
    Window()->close();
    EXPECT_TRUE(Window()->isVisible());
    // Shown again (for instance after the tray went and came) it comes back up.
    presence->Set(TTrayPresence::Present);
    presence->Set(TTrayPresence::Absent);
    EXPECT_TRUE(WindowShown());
    EXPECT_FALSE(Window()->isMinimized());
}

}  // namespace
