#include <gtest/gtest.h>

#include "store/MessageLog.h"

namespace {
using namespace std::string_literals;

// The separator line as its bytes: 65 macrons in Windows-1252.
const std::string Sep(65, '\xAF');
const std::string Stamp = "13:04:05, 01/02/24";

struct LayoutCase {
    const char* name;
    TStringList entry;
    std::string text;
};

TEST(MessageLog, EntriesAreLaidOutByteForByte) {
    const LayoutCase cases[] = {
        // No name found for the peer: two blanks between From and the parenthesis,
        // then three empty lines after a one-line text.
        {"received, nameless peer", ReceivedEntry("", "10.0.0.5", Stamp, false, "hello"),
         "From  (10.0.0.5) at 13:04:05, 01/02/24\r\n" + Sep + "\r\nhello\r\n\r\n\r\n\r\n"},
        // A text ending with a line break adds a fourth empty line.
        {"received, text ends with a break",
         ReceivedEntry("pc1", "10.0.0.5", Stamp, false, "hello\r\n"),
         "From pc1 (10.0.0.5) at 13:04:05, 01/02/24\r\n" + Sep + "\r\nhello\r\n\r\n\r\n\r\n\r\n"},
        {"received in auto-response mode", ReceivedEntry("pc1", "10.0.0.5", Stamp, true, "hi"),
         "From pc1 (10.0.0.5) at 13:04:05, 01/02/24\r\n(Auto-response message sent)\r\n" + Sep +
             "\r\nhi\r\n\r\n\r\n\r\n"},
        {"received, empty text", ReceivedEntry("pc1", "10.0.0.5", Stamp, false, ""),
         "From pc1 (10.0.0.5) at 13:04:05, 01/02/24\r\n" + Sep + "\r\n\r\n\r\n\r\n\r\n"},
        {"sent", SentEntry("pc2", "10.0.0.6", Stamp, "line 1\r\nline 2"),
         "Sent message to pc2 (10.0.0.6) at 13:04:05, 01/02/24\r\n" + Sep +
             "\r\nline 1\r\nline 2\r\n\r\n\r\n\r\n"},
        {"auto-response", AutoResponseEntry("pc2", "10.0.0.6", Stamp, "away"),
         "pc2 (10.0.0.6) sent an auto-response at 13:04:05, 01/02/24\r\n" + Sep +
             "\r\naway\r\n\r\n\r\n\r\n"},
        {"started", {StartedLine(Stamp)}, "Wexlo started at 13:04:05, 01/02/24\r\n\r\n\r\n"},
        {"alerts disabled",
         {AlertsDisabledLine("", "10.0.0.7", Stamp)},
         " (10.0.0.7) has alerts disabled. 13:04:05, 01/02/24\r\n\r\n\r\n"},
        {"connect error",
         {ConnectErrorLine("nohost", -1, Stamp)},
         "Error connecting to nohost (-1) at 13:04:05, 01/02/24\r\n\r\n\r\n"},
        {"connect refused",
         {ConnectErrorLine("10.0.0.8", 111, Stamp)},
         "Error connecting to 10.0.0.8 (111) at 13:04:05, 01/02/24\r\n\r\n\r\n"},
        {"socket error without a box",
         {SocketErrorLine("Asynchronous socket error 104", Stamp)},
         "Unexpected socket error at 13:04:05, 01/02/24: Asynchronous socket error "
         "104\r\n\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextOf(c.entry), c.text);
    }
}

TEST(MessageLog, ReceivedEntryKeepsItsItemsApart) {
    const TStringList entry = ReceivedEntry("pc", "1.2.3.4", Stamp, true, "a\r\nb");
    ASSERT_EQ(entry.size(), 4u);
    EXPECT_EQ(entry[1], "(Auto-response message sent)");
    EXPECT_EQ(entry[2], Sep);
    EXPECT_EQ(entry[3], "a\r\nb\r\n\r\n\r\n");
}

TEST(MessageLog, PeerTextIsNeverAFormat) {
    const std::string hostile = "%s%n%d%%\0\xff"s;
    const TStringList entry = ReceivedEntry(hostile, "%x", "%s, %s", false, hostile);
    EXPECT_EQ(entry[0], "From " + hostile + " (%x) at %s, %s");
    EXPECT_EQ(entry[2], hostile + "\r\n\r\n\r\n");
    EXPECT_EQ(ConnectErrorLine(hostile, 0, "t, d"),
              "Error connecting to " + hostile + " (0) at t, d\r\n\r\n");
}

TEST(MessageLog, TextOfEndsEveryItemWithCrLf) {
    EXPECT_EQ(TextOf({}), "");
    EXPECT_EQ(TextOf({""}), "\r\n");
    EXPECT_EQ(TextOf({"a", "b\r\nc", "\0"s}), "a\r\nb\r\nc\r\n\0\r\n"s);
}

TEST(MessageLog, SplitLinesEndsLinesAtCrLfOrCrLf) {
    const struct {
        std::string text;
        TStringList lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc", {"a", "b", "c"}},
        {"\r\n", {""}},
        {"\n\r", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"x\0y\nz"s, {"x\0y"s, "z"}},
        {"\xAF\xAF\r\n\xff", {"\xAF\xAF", "\xff"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(SplitLines(c.text), c.lines);
    }
}

TEST(MessageLog, EntriesReadBackAsTheirLines) {
    TStringList log;
    Append(log, ReceivedEntry("", "10.0.0.5", Stamp, false, "one\ntwo"));
    const TStringList lines = SplitLines(TextOf(log));
    const TStringList expected = {
        "From  (10.0.0.5) at 13:04:05, 01/02/24", Sep, "one", "two", "", "", ""};
    EXPECT_EQ(lines, expected);
}
}  // namespace
