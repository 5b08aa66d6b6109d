#include <gtest/gtest.h>

#include "messaging/WireFormat.h"

namespace {
using namespace std::string_literals;

struct RequestCase {
    std::string request, header, body;
    int version;
    bool reply;
};

TEST(WireFormat, RequestsSplitIntoHeaderBodyAndVersion) {
    const RequestCase cases[] = {
        {"\x08"
         "0150\r\n\x08Hello",
         "\x08"
         "0150\r\n\x08",
         "Hello", 150, true},
        {"Hello", "", "Hello", 100, false},
        {"\x08"
         "abcd\x08Hi",
         "\x08"
         "abcd\x08",
         "Hi", 0, false},
        {"\x08"
         "0150Hi",
         "\x08"
         "0150Hi",
         "", 150, true},
        {"\x08", "\x08", "", 0, false},
        {"", "", "", 100, false},
        {"\x08"
         "0160\r\n\x08later",
         "\x08"
         "0160\r\n\x08",
         "later", 160, true},
        {"\x08"
         "0149\r\n\x08old",
         "\x08"
         "0149\r\n\x08",
         "old", 149, false},
        // A short header: bytes 2 to 5 include the closing mark, so no number.
        {"\x08"
         "15\x08x",
         "\x08"
         "15\x08",
         "x", 0, false},
        // Older bare text that happens to start with the mark.
        {"\x08tab\x08 rest", "\x08tab\x08", " rest", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.request));
        const std::string header = ParseHeader(c.request);
        EXPECT_EQ(header, c.header);
        EXPECT_EQ(StripHeader(c.request), c.body);
        EXPECT_EQ(HeaderVersion(header), c.version);
        EXPECT_EQ(WantsStatusReply(header), c.reply);
    }
}

TEST(WireFormat, TextIsCarriedByteForByte) {
    const std::string text = "a\x08z\0\xff\r\nend"s;
    const std::string request = BuildRequest(text);
    ASSERT_EQ(request.size(), 8 + text.size());
    EXPECT_EQ(request.substr(0, 8),
              "\x08"
              "0150\r\n\x08");
    EXPECT_EQ(ParseHeader(request).size(), 8u);
    EXPECT_EQ(StripHeader(request), text);
}

TEST(WireFormat, StatusRepliesRoundTripAndReadLeniently) {
    EXPECT_EQ(BuildStatusReply(true, false, ""),
              "\x08"
              "10\x08");
    EXPECT_EQ(BuildStatusReply(false, true, "away\0x"s),
              "\x08"
              "01\x08"
              "away\0x"s);

    struct ReplyCase {
        std::string reply;
        bool alertsOff, autoResponse;
        std::string text;
    };
    const ReplyCase cases[] = {
        {"\x08"
         "10\x08",
         true, false, ""},
        {"\x08"
         "01\x08I'm out",
         false, true, "I'm out"},
        {"\x08"
         "11\x08"
         "both",
         true, true, "both"},
        {"\x08"
         "1",
         true, false, ""},
        {"\x08", false, false, ""},
        {"", false, false, ""},
        {"110", false, false, "110"},
        {"\x08\x08"
         "1",
         false, false, "1"},
        {"\x08"
         "2x\x08",
         false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        const TStatusReply status = ReadStatusReply(c.reply);
        EXPECT_EQ(status.AlertsOff, c.alertsOff);
        EXPECT_EQ(status.AutoResponse, c.autoResponse);
        EXPECT_EQ(status.ResponseText, c.text);
    }
}

TEST(WireFormat, VersionFieldReadsOnlyDecimalNumbers) {
    const std::pair<std::string, int> cases[] = {
        {"\x08"
         "0150",
         150},
        {"\x08"
         "9999\x08",
         9999},
        {"\x08"
         "+150",
         150},
        {"\x08"
         "-001",
         -1},
        {"\x08"
         "15 0",
         0},
        {"\x08"
         " 150",
         0},
        {"\x08"
         "-",
         0},
        {"\x08"
         "\0"
         "150"s,
         0},
    };
    for (const auto& [header, version] : cases) {
        SCOPED_TRACE(testing::PrintToString(header));
        EXPECT_EQ(HeaderVersion(header), version);
    }
}
}  // namespace
