// The announcement against a real Avahi daemon. Needs a daemon on the system
// bus, so it is not one of the suite's tests: scripts/discovery-check runs it
// on a host of its own (WEXLO_AVAHI_LIVE=1).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>

#include "platform/AvahiDiscovery.h"
#include "tests/app/MainTestSupport.h"
#include "ui/NumberEdit.h"

namespace {

using namespace maintest;

// What a second client of the daemon sees of our service type.
struct Seen {
    explicit Seen(TAvahiDiscovery& Discovery) : browser(Discovery.Browse()) {
        browser->OnFound = [this](const TServiceRecord& r) { records[r.Key] = r; };
        browser->OnGone = [this](const std::string& key) { records.erase(key); };
    }
    // The ports announced under Name.
    std::set<int> Ports(const std::string& Name) const {
        std::set<int> ports;
        for (const auto& [key, r] : records)
            if (r.Instance == Name) ports.insert(r.Port);
        return ports;
    }
    std::unique_ptr<IServiceBrowser> browser;
    std::map<std::string, TServiceRecord> records;
};

class DiscoveryLive : public ::testing::Test {
protected:
    void SetUp() override {
        if (!getenv("WEXLO_AVAHI_LIVE")) GTEST_SKIP() << "needs an Avahi daemon (discovery-check)";
    }
};

TEST_F(DiscoveryLive, AnnouncementFollowsThePortTheOptionAndTheExit) {
    TAvahiDiscovery announcer, watcher;
    Seen seen(watcher);
    MainHarness h;
    h.services.Discovery = &announcer;
    TfMain& form = h.Start();
    // The name is this computer's, or its alternative where a copy already
    // has it (the check's own).
    ASSERT_TRUE(WaitUntil([&] { return !announcer.AnnouncedName().empty(); }, 10000));
    const std::string me = announcer.AnnouncedName();
    EXPECT_EQ(me.rfind(ComputerName(), 0), 0u) << me;
    ASSERT_TRUE(WaitUntil([&] { return seen.Ports(me) == std::set<int>{h.port}; }, 10000));

    const int moved = testsupport::FreeTcpPort();
    form.edPort->setText(QString::number(moved));
    form.btnOK->click();
    EXPECT_TRUE(WaitUntil([&] { return seen.Ports(me) == std::set<int>{moved}; }, 10000));

    form.cbAnnounce->setChecked(false);
    form.btnOK->click();
    EXPECT_TRUE(WaitUntil([&] { return seen.Ports(me).empty(); }, 10000));
    form.cbAnnounce->setChecked(true);
    EXPECT_TRUE(WaitUntil([&] { return seen.Ports(me) == std::set<int>{moved}; }, 10000));

    h.Stop();
    EXPECT_TRUE(WaitUntil([&] { return seen.Ports(me).empty(); }, 10000));
}

TEST_F(DiscoveryLive, ATakenNameGetsTheAlternative) {
    TAvahiDiscovery first, second, watcher;
    Seen seen(watcher);
    first.Announce({"wexlo-twin", 14001, 14002});
    ASSERT_TRUE(WaitUntil([&] { return first.AnnouncedName() == "wexlo-twin"; }, 10000));
    second.Announce({"wexlo-twin", 14003, 14004});
    ASSERT_TRUE(WaitUntil([&] { return !second.AnnouncedName().empty(); }, 10000));
    EXPECT_NE(second.AnnouncedName(), "wexlo-twin");
    EXPECT_TRUE(WaitUntil([&] { return seen.Ports(second.AnnouncedName()) == std::set<int>{14003}; },
                          10000));
    EXPECT_EQ(seen.Ports("wexlo-twin"), std::set<int>{14001});
}

}  // namespace
