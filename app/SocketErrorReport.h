#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "store/MessageLog.h"

class IMessageBoxService;

// Shows the socket failures that belong to no send in progress ("Unexpected
// socket error") without letting a peer bury the user in modal boxes: one box
// at a time (a box runs the event loop, and more failures arrive meanwhile),
// and for failures of incoming message connections, which any peer can cause
// by the thousand, at most one box a minute. What gets no box goes to the
// session log with its time, so nothing is lost.
class TSocketErrorReport {
public:
    static constexpr std::time_t IncomingBoxInterval = 60;  // seconds

    TSocketErrorReport(IMessageBoxService& Boxes, std::function<void(const TStringList&)> Log);

    void Report(const std::string& Message, bool Incoming);

private:
    IMessageBoxService& FBoxes;
    std::function<void(const TStringList&)> FLog;
    bool FBoxOpen = false;
    std::optional<std::time_t> FLastIncomingBox;
};
