#pragma once

#include <avahi-common/watch.h>

// Avahi's main-loop interface over the Qt event loop of the thread that makes
// it: watches become socket notifiers and timeouts single-shot timers, so the
// Avahi client runs on that thread's loop with no thread of its own. Must
// outlive every Avahi object made with it.
class TAvahiQtPoll {
public:
    TAvahiQtPoll();
    TAvahiQtPoll(const TAvahiQtPoll&) = delete;
    TAvahiQtPoll& operator=(const TAvahiQtPoll&) = delete;

    const AvahiPoll* Poll() const { return &FPoll; }

private:
    AvahiPoll FPoll;
};
