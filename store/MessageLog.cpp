#include "MessageLog.h"

#include <initializer_list>

const std::string SeparatorLine(65, '\xAF');

namespace {
const std::string_view EntryEnd = "\r\n\r\n\r\n";
const std::string_view LineEnd = "\r\n\r\n";

// Concatenation only: peer text must never reach a printf-style formatter.
std::string Join(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const auto part : parts) size += part.size();
    std::string result;
    result.reserve(size);
    for (const auto part : parts) result.append(part);
    return result;
}

std::string Peer(std::string_view Name, std::string_view Address) {
    return Join({Name, " (", Address, ")"});
}
}  // namespace

TStringList ReceivedEntry(std::string_view PeerName, std::string_view PeerAddress,
                          std::string_view Stamp, bool AutoResponseSent, std::string_view Text) {
    TStringList entry;
    entry.push_back(Join({"From ", Peer(PeerName, PeerAddress), " at ", Stamp}));
    if (AutoResponseSent) entry.emplace_back("(Auto-response message sent)");
    entry.push_back(SeparatorLine);
    entry.push_back(Join({Text, EntryEnd}));
    return entry;
}

TStringList SentEntry(std::string_view PeerName, std::string_view PeerAddress,
                      std::string_view Stamp, std::string_view Text) {
    return {Join({"Sent message to ", Peer(PeerName, PeerAddress), " at ", Stamp}), SeparatorLine,
            Join({Text, EntryEnd})};
}

TStringList AutoResponseEntry(std::string_view PeerName, std::string_view PeerAddress,
                              std::string_view Stamp, std::string_view Text) {
    return {Join({Peer(PeerName, PeerAddress), " sent an auto-response at ", Stamp}), SeparatorLine,
            Join({Text, EntryEnd})};
}

std::string StartedLine(std::string_view Stamp) {
    return Join({"Wexlo started at ", Stamp, LineEnd});
}

std::string AlertsDisabledLine(std::string_view PeerName, std::string_view PeerAddress,
                               std::string_view Stamp) {
    return Join({Peer(PeerName, PeerAddress), " has alerts disabled. ", Stamp, LineEnd});
}

std::string ConnectErrorLine(std::string_view Host, int ErrorCode, std::string_view Stamp) {
    return Join(
        {"Error connecting to ", Host, " (", std::to_string(ErrorCode), ") at ", Stamp, LineEnd});
}

std::string SocketErrorLine(std::string_view Message, std::string_view Stamp) {
    return Join({"Unexpected socket error at ", Stamp, ": ", Message, LineEnd});
}

void Append(TStringList& List, const TStringList& Items) {
    List.insert(List.end(), Items.begin(), Items.end());
}

std::string TextOf(const TStringList& List) {
    std::size_t size = 0;
    for (const auto& item : List) size += item.size() + 2;
    std::string text;
    text.reserve(size);
    for (const auto& item : List) {
        text += item;
        text += "\r\n";
    }
    return text;
}

TStringList SplitLines(std::string_view Text) {
    TStringList lines;
    std::size_t start = 0;
    while (start < Text.size()) {
        std::size_t end = Text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(Text.substr(start));
            break;
        }
        lines.emplace_back(Text.substr(start, end - start));
        start = end + 1;
        if (Text[end] == '\r' && start < Text.size() && Text[start] == '\n') ++start;
    }
    return lines;
}
