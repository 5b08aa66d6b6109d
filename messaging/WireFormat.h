#pragma once

#include <string>

// The bytes two copies exchange on the message port: one request (an eight-byte
// header and the text) and at most one status reply. Everything is bytes; no
// operation here fails or converts anything.

// 0x08 "0150" CR LF 0x08: protocol version 150.
extern const std::string RequestHeader;

// The header of a received text: empty, or from the opening 0x08 up to and
// including the next 0x08 (the whole text when no second one follows).
std::string ParseHeader(const std::string& Data);

// Data without its header; only the first header is removed.
std::string StripHeader(const std::string& Data);

// 100 for an empty header; else bytes 2 to 5 read as a decimal number, 0 when
// they are not one.
int HeaderVersion(const std::string& Header);

// Receivers answer requests whose header version is 150 or later.
bool WantsStatusReply(const std::string& Header);

std::string BuildRequest(const std::string& Text);
std::string BuildStatusReply(bool AlertsOff, bool AutoResponse, const std::string& ResponseText);

struct TStatusReply {
    bool AlertsOff = false;
    bool AutoResponse = false;
    std::string ResponseText;
};

// Flags are set only by a "1" at header byte 2 (alerts off) or 3 (auto-response).
TStatusReply ReadStatusReply(const std::string& Reply);
