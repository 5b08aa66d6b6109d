// Feeds arbitrary bytes to the receiver's work on a request, with a hostile
// peer name too: the header is split off exactly, the log entry has its
// layout whatever the bytes, and a reply, when one is due, reads back as sent.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "messaging/ReceivedRequest.h"
#include "messaging/WireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool autoResponse = data[0] & 1, alertsOff = data[0] & 2;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    // The peer's name is whatever a resolver answered: part of the input.
    const std::size_t cut = input.find('\0');
    const std::string peerName = cut == std::string::npos ? "" : input.substr(0, cut);
    const std::string request = cut == std::string::npos ? input : input.substr(cut + 1);
    const std::string stamp = "12:00:00, 01/02/2026";

    const TRequestWork work = ReadRequest(request, peerName, "10.0.0.1", stamp, autoResponse);
    if (ParseHeader(request) + work.Text != request) std::abort();
    if (work.WantsReply != (HeaderVersion(ParseHeader(request)) > 149)) std::abort();

    const TStringList& e = work.Entry;
    const std::size_t items = autoResponse ? 4 : 3;
    if (e.size() != items) std::abort();
    if (e[0] != "From " + peerName + " (10.0.0.1) at " + stamp) std::abort();
    if (autoResponse && e[1] != "(Auto-response message sent)") std::abort();
    if (e[items - 2] != SeparatorLine || SeparatorLine != std::string(65, '\xAF')) std::abort();
    if (e[items - 1] != work.Text + "\r\n\r\n\r\n") std::abort();

    if (work.WantsReply) {
        // The response text is the request's own bytes: anything a user may type.
        const TStatusReply reply =
            ReadStatusReply(BuildStatusReply(alertsOff, autoResponse, request));
        if (reply.AlertsOff != alertsOff || reply.AutoResponse != autoResponse ||
            reply.ResponseText != request)
            std::abort();
    }
    return 0;
}
