#include "app/SocketErrorReport.h"

#include <chrono>
#include <utility>

#include "platform/MessageBox.h"
#include "store/TimeStamp.h"

namespace {
std::int64_t SystemSteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TSocketErrorReport::TSteadyClock& SteadyClock() {
    static TSocketErrorReport::TSteadyClock clock = SystemSteadyMs;
    return clock;
}
}  // namespace

TSocketErrorReport::TSteadyClock TSocketErrorReport::SetSteadyClock(TSteadyClock Clock) {
    return std::exchange(SteadyClock(), Clock ? std::move(Clock) : SystemSteadyMs);
}

TSocketErrorReport::TSocketErrorReport(IMessageBoxService& Boxes,
                                       std::function<void(const TStringList&)> Log)
    : FBoxes(Boxes), FLog(std::move(Log)) {}

void TSocketErrorReport::Report(const std::string& Message, TFailureSource Source) {
    const std::int64_t now = SteadyClock()();
    std::optional<std::int64_t>& last = FLastBox[static_cast<int>(Source)];
    const bool recent =
        Source != TFailureSource::Own && last && now - *last < IncomingBoxIntervalMs;
    if (FBoxOpen || recent) {
        FLog({SocketErrorLine(Message, TimeStamp())});
        return;
    }
    if (Source != TFailureSource::Own) last = now;
    FBoxOpen = true;
    struct TClosed {
        bool& Open;
        ~TClosed() { Open = false; }
    } closed{FBoxOpen};
    FBoxes.Show(nullptr, "Unexpected socket error:\r" + Message, Caption::Error, TMsgIcon::Error,
                TMsgButtons::Ok);
}
