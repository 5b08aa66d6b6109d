#include "app/SignalRelay.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include <QSocketNotifier>

namespace {
int RelayFds[2] = {-1, -1};
constexpr int RelayedSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Nothing useful can be done if the pipe is full: a shutdown is pending anyway.
    [[maybe_unused]] ssize_t ignored = ::write(RelayFds[0], &byte, 1);
    errno = saved;
}
}  // namespace

TSignalRelay::TSignalRelay(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, RelayFds) != 0)
        throw std::runtime_error("cannot create the signal socket pair");
    FNotifier = new QSocketNotifier(RelayFds[1], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSignalRelay::Drain);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : RelayedSignals) ::sigaction(signal, &action, nullptr);
}

TSignalRelay::~TSignalRelay() {
    for (int signal : RelayedSignals) std::signal(signal, SIG_DFL);
    delete FNotifier;
    ::close(RelayFds[0]);
    ::close(RelayFds[1]);
    RelayFds[0] = RelayFds[1] = -1;
}

void TSignalRelay::Drain() {
    unsigned char byte;
    while (::read(RelayFds[1], &byte, 1) == 1) {
        if (FOnSignal) FOnSignal(byte);
    }
}
