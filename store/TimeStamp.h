#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

// Time stamps of the logs and tooltips: "%s, %s", the local time with seconds
// (strftime %X) then the short date (%x), both in the user's locale. The
// program calls setlocale(LC_ALL, "") at start, so LC_TIME decides the layout.

std::string TimeText(std::time_t When);
std::string DateText(std::time_t When);

// "time, date" of When.
std::string TimeStamp(std::time_t When);

// The clock the program reads; tests can replace it.
std::time_t Now();

// "time, date" of Now().
std::string TimeStamp();

// The time zone is looked up again at most once a second (a lookup reads the
// status of the zone file; two per stamp would be two per message): a change
// of zone shows in the stamps made a second later. Replaces the steady clock
// (milliseconds) that paces the lookups for its lifetime, starting afresh.
class ScopedZoneClock {
public:
    explicit ScopedZoneClock(std::function<std::int64_t()> Clock);
    ~ScopedZoneClock();
    ScopedZoneClock(const ScopedZoneClock&) = delete;
    ScopedZoneClock& operator=(const ScopedZoneClock&) = delete;

private:
    std::function<std::int64_t()> FPrevious;
};

// Replaces the clock for its lifetime, so tests get stamps they can predict.
class ScopedClock {
public:
    explicit ScopedClock(std::function<std::time_t()> Clock);
    explicit ScopedClock(std::time_t Fixed);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    std::function<std::time_t()> FPrevious;
};
