#pragma once

#include <string>
#include <string_view>
#include <vector>

// The records of a run (received messages, session log, recent hosts) are
// ordered lists of byte strings. An item may itself hold CR LF line breaks.
using TStringList = std::vector<std::string>;

// One item of 65 bytes 0xAF between an entry's header and its text.
extern const std::string SeparatorLine;

// Entries, item by item. Stamp is the "time, date" pair of TimeStamp.h. Peer
// names and texts are copied as bytes; nothing here is ever a format string.

// "From %s (%s) at %s, %s", optionally "(Auto-response message sent)", the
// separator, then the text followed by three line breaks.
TStringList ReceivedEntry(std::string_view PeerName, std::string_view PeerAddress,
                          std::string_view Stamp, bool AutoResponseSent, std::string_view Text);

// "Sent message to %s (%s) at %s, %s", the separator, the text.
TStringList SentEntry(std::string_view PeerName, std::string_view PeerAddress,
                      std::string_view Stamp, std::string_view Text);

// "%s (%s) sent an auto-response at %s, %s", the separator, the reply's text.
TStringList AutoResponseEntry(std::string_view PeerName, std::string_view PeerAddress,
                              std::string_view Stamp, std::string_view Text);

// Single-item session log entries, each ending in two line breaks.
std::string StartedLine(std::string_view Stamp);
std::string AlertsDisabledLine(std::string_view PeerName, std::string_view PeerAddress,
                               std::string_view Stamp);
std::string ConnectErrorLine(std::string_view Host, int ErrorCode, std::string_view Stamp);
// "Unexpected socket error at %s, %s: %s", for a failure that got no box.
std::string SocketErrorLine(std::string_view Message, std::string_view Stamp);

void Append(TStringList& List, const TStringList& Items);

// The list as shown or written to a file: every item followed by CR LF.
std::string TextOf(const TStringList& List);

// Lines of a text: a line ends at CR, LF or CR LF. A break at the very end does
// not start another line, so "a\r\nb" and "a\r\nb\r\n" both give two lines.
TStringList SplitLines(std::string_view Text);
