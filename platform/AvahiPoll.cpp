#include "platform/AvahiPoll.h"

#include <sys/time.h>

#include <QSocketNotifier>
#include <QTimer>

#include <avahi-common/timeval.h>

// Avahi may free a watch or a timeout from inside its own callback, so the Qt
// objects behind them are released with deleteLater, and the record itself
// only once no callback of it is running.
struct AvahiWatch {
    int Fd;
    AvahiWatchEvent Wanted;
    AvahiWatchEvent Happened = static_cast<AvahiWatchEvent>(0);
    AvahiWatchCallback Callback;
    void* UserData;
    QSocketNotifier* Read = nullptr;
    QSocketNotifier* Write = nullptr;
    bool InCallback = false;
    bool Freed = false;
};

struct AvahiTimeout {
    QTimer* Timer;
    AvahiTimeoutCallback Callback;
    void* UserData;
    bool InCallback = false;
    bool Freed = false;
};

namespace {

void Fire(AvahiWatch* w, AvahiWatchEvent Event) {
    w->Happened = Event;
    w->InCallback = true;
    w->Callback(w, w->Fd, Event, w->UserData);
    w->InCallback = false;
    if (w->Freed)
        delete w;
    else
        w->Happened = static_cast<AvahiWatchEvent>(0);
}

void UpdateWatch(AvahiWatch* w, AvahiWatchEvent Events) {
    w->Wanted = Events;
    w->Read->setEnabled(Events & AVAHI_WATCH_IN);
    w->Write->setEnabled(Events & AVAHI_WATCH_OUT);
}

AvahiWatch* WatchNew(const AvahiPoll*, int Fd, AvahiWatchEvent Events, AvahiWatchCallback Callback,
                     void* UserData) {
    auto* w = new AvahiWatch{Fd, Events, static_cast<AvahiWatchEvent>(0), Callback, UserData};
    w->Read = new QSocketNotifier(Fd, QSocketNotifier::Read);
    w->Write = new QSocketNotifier(Fd, QSocketNotifier::Write);
    QObject::connect(w->Read, &QSocketNotifier::activated, w->Read,
                     [w] { Fire(w, AVAHI_WATCH_IN); });
    QObject::connect(w->Write, &QSocketNotifier::activated, w->Write,
                     [w] { Fire(w, AVAHI_WATCH_OUT); });
    UpdateWatch(w, Events);
    return w;
}

AvahiWatchEvent WatchGetEvents(AvahiWatch* w) {
    return w->Happened;
}

void WatchFree(AvahiWatch* w) {
    w->Read->setEnabled(false);
    w->Write->setEnabled(false);
    w->Read->deleteLater();
    w->Write->deleteLater();
    if (w->InCallback)
        w->Freed = true;
    else
        delete w;
}

// Avahi's times are absolute, on the wall clock.
void Arm(AvahiTimeout* t, const struct timeval* When) {
    if (!When) {
        t->Timer->stop();
        return;
    }
    const AvahiUsec left = -avahi_age(When);
    t->Timer->start(left <= 0 ? 0 : static_cast<int>((left + 999) / 1000));
}

AvahiTimeout* TimeoutNew(const AvahiPoll*, const struct timeval* When,
                         AvahiTimeoutCallback Callback, void* UserData) {
    auto* t = new AvahiTimeout{new QTimer, Callback, UserData};
    t->Timer->setSingleShot(true);
    QObject::connect(t->Timer, &QTimer::timeout, t->Timer, [t] {
        t->InCallback = true;
        t->Callback(t, t->UserData);
        t->InCallback = false;
        if (t->Freed) delete t;
    });
    Arm(t, When);
    return t;
}

void TimeoutUpdate(AvahiTimeout* t, const struct timeval* When) {
    Arm(t, When);
}

void TimeoutFree(AvahiTimeout* t) {
    t->Timer->stop();
    t->Timer->deleteLater();
    if (t->InCallback)
        t->Freed = true;
    else
        delete t;
}

}  // namespace

TAvahiQtPoll::TAvahiQtPoll() {
    FPoll.userdata = this;
    FPoll.watch_new = WatchNew;
    FPoll.watch_update = UpdateWatch;
    FPoll.watch_get_events = WatchGetEvents;
    FPoll.watch_free = WatchFree;
    FPoll.timeout_new = TimeoutNew;
    FPoll.timeout_update = TimeoutUpdate;
    FPoll.timeout_free = TimeoutFree;
}
