#include "app/SocketErrorReport.h"

#include "platform/MessageBox.h"
#include "store/TimeStamp.h"

TSocketErrorReport::TSocketErrorReport(IMessageBoxService& Boxes,
                                       std::function<void(const TStringList&)> Log)
    : FBoxes(Boxes), FLog(std::move(Log)) {}

void TSocketErrorReport::Report(const std::string& Message, bool Incoming) {
    const std::time_t now = Now();
    // A clock set back counts as time gone by, not as a box just shown.
    const bool recent = Incoming && FLastIncomingBox && now >= *FLastIncomingBox &&
                        now - *FLastIncomingBox < IncomingBoxInterval;
    if (FBoxOpen || recent) {
        FLog({SocketErrorLine(Message, TimeStamp(now))});
        return;
    }
    if (Incoming) FLastIncomingBox = now;
    FBoxOpen = true;
    struct TClosed {
        bool& Open;
        ~TClosed() { Open = false; }
    } closed{FBoxOpen};
    FBoxes.Show(nullptr, "Unexpected socket error:\r" + Message, Caption::Error, TMsgIcon::Error,
                TMsgButtons::Ok);
}
