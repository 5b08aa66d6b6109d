#include "TimeStamp.h"

#include <chrono>
#include <optional>

namespace {
std::function<std::time_t()>& CurrentClock() {
    static std::function<std::time_t()> clock;
    return clock;
}

std::function<std::int64_t()>& ZoneClock() {
    static std::function<std::int64_t()> clock;
    return clock;
}

std::optional<std::int64_t> LastZoneLookup;  // UI thread only, like the logs
unsigned ZoneLookups = 0;                    // tells texts made before a lookup

// tzset() re-reads the zone on every call; once a second is enough to follow
// a change of the system's time zone.
void FollowZone() {
    const std::int64_t now = ZoneClock() ? ZoneClock()()
                                         : std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count();
    if (LastZoneLookup && now >= *LastZoneLookup && now - *LastZoneLookup < 1000) return;
    LastZoneLookup = now;
    tzset();
    ++ZoneLookups;
}

bool Local(std::time_t When, std::tm& Local) {
    FollowZone();
    return localtime_r(&When, &Local) != nullptr;
}

std::string Format(const char* Pattern, const std::tm& Local) {
    // strftime gives 0 both for an empty result and for a buffer too small;
    // grow a few times before settling for empty.
    for (std::size_t size = 64; size <= 4096; size *= 4) {
        std::string text(size, '\0');
        const std::size_t length = std::strftime(text.data(), text.size(), Pattern, &Local);
        if (length > 0) {
            text.resize(length);
            return text;
        }
    }
    return {};
}
}  // namespace

std::string TimeText(std::time_t When) {
    std::tm local{};
    return Local(When, local) ? Format("%X", local) : std::string();
}

std::string DateText(std::time_t When) {
    std::tm local{};
    return Local(When, local) ? Format("%x", local) : std::string();
}

std::string TimeStamp(std::time_t When) {
    // Messages come many to a second: the text of the last second is kept
    // until the second or the zone changes.
    static struct {
        std::time_t When = 0;
        unsigned Zone = 0;
        std::string Text;
    } last;
    FollowZone();
    if (!last.Text.empty() && last.When == When && last.Zone == ZoneLookups) return last.Text;
    std::tm local{};
    if (!localtime_r(&When, &local)) return ", ";
    last = {When, ZoneLookups, Format("%X", local) + ", " + Format("%x", local)};
    return last.Text;
}

std::time_t Now() {
    return CurrentClock() ? CurrentClock()() : std::time(nullptr);
}

std::string TimeStamp() {
    return TimeStamp(Now());
}

ScopedClock::ScopedClock(std::function<std::time_t()> Clock)
    : FPrevious(std::move(CurrentClock())) {
    CurrentClock() = std::move(Clock);
}

ScopedClock::ScopedClock(std::time_t Fixed) : ScopedClock([Fixed] { return Fixed; }) {}

ScopedClock::~ScopedClock() {
    CurrentClock() = std::move(FPrevious);
}

ScopedZoneClock::ScopedZoneClock(std::function<std::int64_t()> Clock)
    : FPrevious(std::move(ZoneClock())) {
    ZoneClock() = std::move(Clock);
    LastZoneLookup.reset();
}

ScopedZoneClock::~ScopedZoneClock() {
    ZoneClock() = std::move(FPrevious);
    LastZoneLookup.reset();
}
