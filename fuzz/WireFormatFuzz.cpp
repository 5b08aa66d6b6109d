// Feeds arbitrary bytes to every reader of the wire format and checks the
// invariants that hold for any input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "messaging/WireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string header = ParseHeader(input);
    const std::string body = StripHeader(input);
    if (header + body != input) std::abort();
    if (!header.empty() && header[0] != '\x08') std::abort();
    if (header.size() > 1 && header.find('\x08', 1) != std::string::npos &&
        header.find('\x08', 1) != header.size() - 1)
        std::abort();
    (void)HeaderVersion(header);
    (void)HeaderVersion(input);

    // A request we build always parses back to our header and the same text.
    const std::string request = BuildRequest(input);
    if (ParseHeader(request) != RequestHeader || StripHeader(request) != input) std::abort();
    if (HeaderVersion(ParseHeader(request)) != 150) std::abort();

    const TStatusReply status = ReadStatusReply(input);
    const TStatusReply again = ReadStatusReply(
        BuildStatusReply(status.AlertsOff, status.AutoResponse, status.ResponseText));
    if (again.AlertsOff != status.AlertsOff || again.AutoResponse != status.AutoResponse ||
        again.ResponseText != status.ResponseText)
        std::abort();
    return 0;
}
