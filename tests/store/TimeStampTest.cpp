#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#include "store/TimeStamp.h"
#include "tests/support/TestSupport.h"

namespace {
// 2024-01-02 13:04:05 UTC
std::time_t Fixed() {
    return 1704200645;
}

// Sets TZ and LC_TIME for one test and puts both back afterwards.
class TimeStampTest : public testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        FOldTz = tz ? std::optional<std::string>(tz) : std::nullopt;
        FOldLocale = std::setlocale(LC_TIME, nullptr);
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (FOldTz)
            setenv("TZ", FOldTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        std::setlocale(LC_TIME, FOldLocale.c_str());
    }

    // Compiles a locale into this run's folder; false when the machine cannot.
    static bool UseBuiltLocale(const std::string& Source, const std::string& Charmap) {
        const std::string dir = testsupport::TempDir() + "/locales";
        const std::string name = Source + "." + Charmap;
        std::filesystem::create_directories(dir);
        if (!std::filesystem::exists(dir + "/" + name)) {
            const std::string command = "localedef -c -i " + Source + " -f " + Charmap + " " + dir +
                                        "/" + name + " >/dev/null 2>&1";
            if (std::system(command.c_str()) == -1) return false;
        }
        setenv("LOCPATH", dir.c_str(), 1);
        const bool ok = std::setlocale(LC_TIME, name.c_str()) != nullptr;
        unsetenv("LOCPATH");
        return ok;
    }

    std::optional<std::string> FOldTz;
    std::string FOldLocale;
    // Every stamp a second after the last: each looks the zone up again.
    std::int64_t FSteadyMs = 0;
    ScopedZoneClock FZoneClock{[this] { return FSteadyMs += 1000; }};
};

TEST_F(TimeStampTest, TimeThenDateInTheLocalesFormats) {
    ASSERT_TRUE(std::setlocale(LC_TIME, "C"));
    EXPECT_EQ(TimeText(Fixed()), "13:04:05");
    EXPECT_EQ(DateText(Fixed()), "01/02/24");
    EXPECT_EQ(TimeStamp(Fixed()), "13:04:05, 01/02/24");

    // Local time, not UTC.
    setenv("TZ", "XYZ-5", 1);
    EXPECT_EQ(TimeStamp(Fixed()), "18:04:05, 01/02/24");
    setenv("TZ", "XYZ+14", 1);
    EXPECT_EQ(TimeStamp(Fixed()), "23:04:05, 01/01/24");
}

TEST_F(TimeStampTest, ZoneIsLookedUpAtMostOnceASecondAndAChangeShowsWithinOne) {
    ASSERT_TRUE(std::setlocale(LC_TIME, "C"));
    std::int64_t ms = 5000;
    ScopedZoneClock clock([&ms] { return ms; });
    setenv("TZ", "XYZ-5", 1);
    EXPECT_EQ(TimeStamp(Fixed()), "18:04:05, 01/02/24");

    setenv("TZ", "XYZ+14", 1);
    const struct {
        std::int64_t at;
        const char* tz;
        const char* expected;
    } steps[] = {
        {5000, "XYZ+14", "18:04:05, 01/02/24"},  // the zone looked up a moment ago stands
        {5999, "XYZ+14", "18:04:05, 01/02/24"},
        {6000, "XYZ+14", "23:04:05, 01/01/24"},  // a second later the change shows
        {6500, "XYZ-1", "23:04:05, 01/01/24"},
        {4000, "XYZ-1", "14:04:05, 01/02/24"},  // a clock that went back looks again
    };
    for (const auto& step : steps) {
        setenv("TZ", step.tz, 1);
        ms = step.at;
        EXPECT_EQ(TimeStamp(Fixed()), step.expected) << "at " << step.at;
    }
}

TEST_F(TimeStampTest, FollowsTheUsersLocale) {
    const struct {
        const char *source, *charmap, *expected;
    } cases[] = {
        // A 12-hour clock puts its designator after the seconds.
        {"en_US", "UTF-8", "01:04:05 PM, 01/02/2024"},
        {"de_DE", "UTF-8", "13:04:05, 02.01.2024"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        if (!UseBuiltLocale(c.source, c.charmap)) GTEST_SKIP() << "cannot build " << c.source;
        EXPECT_EQ(TimeStamp(Fixed()), c.expected);
    }
}

TEST_F(TimeStampTest, TheClockCanBeFixedForAWhile) {
    ASSERT_TRUE(std::setlocale(LC_TIME, "C"));
    {
        ScopedClock clock(Fixed());
        EXPECT_EQ(Now(), Fixed());
        EXPECT_EQ(TimeStamp(), "13:04:05, 01/02/24");
        {
            std::time_t t = Fixed();
            ScopedClock ticking([&t] { return t++; });
            EXPECT_EQ(TimeStamp(), "13:04:05, 01/02/24");
            EXPECT_EQ(TimeStamp(), "13:04:06, 01/02/24");
        }
        EXPECT_EQ(Now(), Fixed());
    }
    EXPECT_LE(std::abs(Now() - std::time(nullptr)), 2);
}
}  // namespace
