#pragma once

#include <string>

#include "store/MessageLog.h"

// The receiver's work on the bytes of one request, apart from the sound, the
// window and the socket: the text after the header, its log entry, and
// whether the sender's protocol asks for a status reply.
struct TRequestWork {
    std::string Text;
    TStringList Entry;
    bool WantsReply = false;
};
TRequestWork ReadRequest(const std::string& Request, const std::string& PeerName,
                         const std::string& PeerAddress, const std::string& Stamp,
                         bool AutoResponse);
