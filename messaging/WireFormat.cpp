#include "WireFormat.h"

namespace {
constexpr char Mark = '\x08';
}

const std::string RequestHeader(
    "\x08"
    "0150\r\n"
    "\x08",
    8);

std::string ParseHeader(const std::string& Data) {
    if (Data.empty() || Data[0] != Mark) return {};
    const std::size_t closing = Data.find(Mark, 1);
    return closing == std::string::npos ? Data : Data.substr(0, closing + 1);
}

std::string StripHeader(const std::string& Data) {
    return Data.substr(ParseHeader(Data).size());
}

int HeaderVersion(const std::string& Header) {
    if (Header.empty()) return 100;
    const std::string field = Header.substr(1, 4);
    std::size_t i = 0;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    if (i == field.size()) return 0;
    int value = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return 0;
        value = value * 10 + (field[i] - '0');
    }
    return negative ? -value : value;
}

bool WantsStatusReply(const std::string& Header) {
    return HeaderVersion(Header) > 149;
}

std::string BuildRequest(const std::string& Text) {
    return RequestHeader + Text;
}

std::string BuildStatusReply(bool AlertsOff, bool AutoResponse, const std::string& ResponseText) {
    std::string reply;
    reply.reserve(4 + ResponseText.size());
    reply += Mark;
    reply += AlertsOff ? '1' : '0';
    reply += AutoResponse ? '1' : '0';
    reply += Mark;
    reply += ResponseText;
    return reply;
}

TStatusReply ReadStatusReply(const std::string& Reply) {
    const std::string header = ParseHeader(Reply);
    TStatusReply status;
    status.AlertsOff = header.size() > 1 && header[1] == '1';
    status.AutoResponse = header.size() > 2 && header[2] == '1';
    status.ResponseText = StripHeader(Reply);
    return status;
}
