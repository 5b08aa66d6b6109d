#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/TrayStatus.h"

namespace {

// Everything that reaches the tray, in order: "img N" and "tip TEXT".
struct RecordingTray : ITrayOutput {
    void ShowTrayImage(int Index) override { shown.push_back("img " + std::to_string(Index)); }
    void ShowTrayHint(const std::string& Hint) override { shown.push_back("tip " + Hint); }
    std::vector<std::string> Take() { return std::exchange(shown, {}); }
    std::vector<std::string> shown;
};

struct TrayFixture : ::testing::Test {
    int unread = 0;
    bool alertOn = true, disableAlerts = false, autoResponse = false, sending = false;
    RecordingTray tray;
    TTrayStatus status{
        {[this] { return unread; }, [this] { return alertOn; }, [this] { return disableAlerts; },
         [this] { return autoResponse; }, [this] { return sending; }},
        tray};

    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) status.Timer().Tick();
    }
    void BeginSend(const std::string& host) {
        sending = true;
        status.StartConnecting(host);
    }
    void Connected(const std::string& name, const std::string& address) {
        sending = false;
        status.MessageSent(name, address);
    }
};

using Shown = std::vector<std::string>;

TEST_F(TrayFixture, IdleRuleFirstMatchWins) {
    struct Case {
        int unread;
        bool alertOn, disableAlerts, autoResponse;
        int image;
        std::string hint;
    } cases[] = {
        {0, true, false, false, 0, "Wexlo"},
        {0, false, false, false, 1, "Wexlo (Alerts disabled)"},
        {0, true, true, false, 1, "Wexlo (Alerts disabled)"},
        {0, true, false, true, 9, "Wexlo (Auto-response mode)"},
        // Auto-response that also switched alerts off shows the alerts-off image.
        {0, true, true, true, 1, "Wexlo (Alerts disabled)"},
        {0, false, false, true, 1, "Wexlo (Alerts disabled)"},
        {2, true, false, true, 2, "2 unread message(s)"},
        {1, false, true, true, 2, "1 unread message(s)"},
        {1234, true, false, false, 2, "1234 unread message(s)"},
    };
    for (const Case& c : cases) {
        unread = c.unread;
        alertOn = c.alertOn;
        disableAlerts = c.disableAlerts;
        autoResponse = c.autoResponse;
        status.UpdateTrayStatus();
        SCOPED_TRACE(c.hint);
        EXPECT_EQ(tray.Take(), (Shown{"img " + std::to_string(c.image), "tip " + c.hint}));
        EXPECT_EQ(status.StatusIcon(), c.image);
        EXPECT_EQ(status.StatusHint(), c.hint);
        EXPECT_FALSE(status.Timer().Enabled());
    }
}

TEST_F(TrayFixture, ShowingReceivedMessagesFallsBackToTheMode) {
    unread = 2;
    autoResponse = true;
    status.UpdateTrayStatus();
    unread = 0;  // Show received messages resets the counter, then asks again
    status.UpdateTrayStatus();
    EXPECT_EQ(tray.Take(), (Shown{"img 2", "tip 2 unread message(s)", "img 9",
                                  "tip Wexlo (Auto-response mode)"}));
}

TEST_F(TrayFixture, ConnectingAnimatesOnlyWhileSending) {
    BeginSend("lab-pc");
    EXPECT_EQ(tray.Take(), Shown{"tip Connecting to lab-pc..."});  // no image before the first tick
    EXPECT_TRUE(status.Timer().Enabled());
    EXPECT_EQ(status.Timer().Interval(), 500);

    Tick(6);
    EXPECT_EQ(tray.Take(), (Shown{"img 4", "img 5", "img 6", "img 7", "img 4", "img 5"}));
    EXPECT_EQ(status.AnimIcon(), 5);

    sending = false;  // a tick that finds the send over shows nothing
    Tick(2);
    EXPECT_TRUE(tray.Take().empty());
}

TEST_F(TrayFixture, SentImageHoldsForEightTicksThenIdleReturns) {
    autoResponse = true;
    status.UpdateTrayStatus();
    tray.Take();

    BeginSend("10.0.0.7");
    Connected("", "10.0.0.7");  // connected before the first tick
    EXPECT_EQ(tray.Take(),
              (Shown{"tip Connecting to 10.0.0.7...", "img 3", "tip Message send to  (10.0.0.7)"}));
    Tick(7);
    EXPECT_TRUE(tray.Take().empty());
    EXPECT_TRUE(status.Timer().Enabled());
    Tick();
    EXPECT_EQ(tray.Take(), (Shown{"img 9", "tip Wexlo (Auto-response mode)"}));
    EXPECT_FALSE(status.Timer().Enabled());
}

TEST_F(TrayFixture, RecipientAlertsOffRestartsTheHold) {
    BeginSend("pc");
    Tick(3);
    Connected("pc", "192.168.1.9");
    Tick(3);
    tray.Take();
    status.RecipientAlertsOff("pc", "192.168.1.9");
    EXPECT_EQ(tray.Take(), (Shown{"img 8", "tip pc (192.168.1.9) has alerts disabled temporally"}));
    Tick(7);
    EXPECT_TRUE(tray.Take().empty());
    Tick();
    EXPECT_EQ(tray.Take(), (Shown{"img 0", "tip Wexlo"}));
}

TEST_F(TrayFixture, NewSendDuringHoldDropsTheHold) {
    BeginSend("a");
    Connected("a", "10.0.0.1");
    Tick(5);
    tray.Take();
    BeginSend("b");
    Tick(9);  // past where the old countdown would have ended
    EXPECT_EQ(tray.Take(), (Shown{"tip Connecting to b...", "img 4", "img 5", "img 6", "img 7",
                                  "img 4", "img 5", "img 6", "img 7", "img 4"}));
    EXPECT_TRUE(status.Timer().Enabled());
}

TEST_F(TrayFixture, FailureRestoresIdleAtOnce) {
    disableAlerts = true;
    status.UpdateTrayStatus();
    BeginSend("nowhere");
    Tick(2);
    tray.Take();
    sending = false;
    status.SendFailed();
    EXPECT_EQ(tray.Take(), (Shown{"img 1", "tip Wexlo (Alerts disabled)"}));
    EXPECT_FALSE(status.Timer().Enabled());

    // Also from the hold: the countdown is dropped with the timer.
    BeginSend("x");
    Connected("x", "10.1.1.1");
    status.SendFailed();
    EXPECT_FALSE(status.Timer().Enabled());
    EXPECT_EQ(tray.Take().back(), "tip Wexlo (Alerts disabled)");
}

TEST_F(TrayFixture, UnreadMessageDuringAnimation) {
    BeginSend("host");
    Tick(2);
    tray.Take();

    unread = 1;  // a message arrived without an alert window
    status.UpdateTrayStatus();
    EXPECT_EQ(tray.Take(), (Shown{"img 2", "tip 1 unread message(s)"}));

    Tick();  // the animation takes the image back, the unread tooltip stays
    EXPECT_EQ(tray.Take(), Shown{"img 6"});
    EXPECT_TRUE(status.Timer().Enabled());

    Connected("host", "10.0.0.2");
    Tick(8);
    EXPECT_EQ(tray.Take(), (Shown{"img 3", "tip Message send to host (10.0.0.2)", "img 2",
                                  "tip 1 unread message(s)"}));
}

TEST_F(TrayFixture, PeerTextIsNeverAFormat) {
    BeginSend("%s%n%d");
    Connected("%s", "%d");
    status.RecipientAlertsOff("100%", "%x");
    EXPECT_EQ(tray.Take(),
              (Shown{"tip Connecting to %s%n%d...", "img 3", "tip Message send to %s (%d)", "img 8",
                     "tip 100% (%x) has alerts disabled temporally"}));
}

}  // namespace
