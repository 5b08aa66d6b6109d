#include "messaging/ReceivedRequest.h"

#include "messaging/WireFormat.h"

TRequestWork ReadRequest(const std::string& Request, const std::string& PeerName,
                         const std::string& PeerAddress, const std::string& Stamp,
                         bool AutoResponse) {
    TRequestWork work;
    const std::string header = ParseHeader(Request);
    work.Text = StripHeader(Request);
    work.Entry = ReceivedEntry(PeerName, PeerAddress, Stamp, AutoResponse, work.Text);
    work.WantsReply = WantsStatusReply(header);
    return work;
}
