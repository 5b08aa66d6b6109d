#pragma once

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
