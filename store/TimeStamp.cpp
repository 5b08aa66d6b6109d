#include "TimeStamp.h"

namespace {
std::function<std::time_t()>& CurrentClock() {
    static std::function<std::time_t()> clock;
    return clock;
}

std::string Format(const char* Pattern, std::time_t When) {
    // Re-read the zone so a change of the system's time zone shows in new stamps.
    tzset();
    std::tm local{};
    if (!localtime_r(&When, &local)) return {};
    // strftime gives 0 both for an empty result and for a buffer too small;
    // grow a few times before settling for empty.
    for (std::size_t size = 64; size <= 4096; size *= 4) {
        std::string text(size, '\0');
        const std::size_t length = std::strftime(text.data(), text.size(), Pattern, &local);
        if (length > 0) {
            text.resize(length);
            return text;
        }
    }
    return {};
}
}  // namespace

std::string TimeText(std::time_t When) {
    return Format("%X", When);
}

std::string DateText(std::time_t When) {
    return Format("%x", When);
}

std::string TimeStamp(std::time_t When) {
    return TimeText(When) + ", " + DateText(When);
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
