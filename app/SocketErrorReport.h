#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "store/MessageLog.h"

class IMessageBoxService;

// Where a socket failure comes from: the program's own calls, or a connection
// a peer made to the message port or to the talk port.
enum class TFailureSource { Own, MessagePort, TalkPort };

// Shows the socket failures that belong to no send or talk attempt in progress
// ("Unexpected socket error") without letting a peer bury the user in modal
// boxes: one box at a time (a box runs the event loop, and more failures
// arrive meanwhile), and for failures of incoming connections, which any peer
// can cause by the thousand, at most one box a minute for each port. What gets
// no box goes to the session log with its time, so nothing is lost.
class TSocketErrorReport {
public:
    static constexpr std::int64_t IncomingBoxIntervalMs = 60000;

    TSocketErrorReport(IMessageBoxService& Boxes, std::function<void(const TStringList&)> Log);

    void Report(const std::string& Message, TFailureSource Source);

    // The minute is measured on a clock that setting the time of day does not
    // move (milliseconds); tests replace it. Returns the previous one.
    using TSteadyClock = std::function<std::int64_t()>;
    static TSteadyClock SetSteadyClock(TSteadyClock Clock);

private:
    IMessageBoxService& FBoxes;
    std::function<void(const TStringList&)> FLog;
    bool FBoxOpen = false;
    std::optional<std::int64_t> FLastBox[3];  // by source; Own's stays empty
};
