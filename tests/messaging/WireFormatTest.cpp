#include <gtest/gtest.h>

#include "messaging/WireFormat.h"

namespace {
using namespace std::string_literals;

// "\b" is the 0x08 mark that opens and closes a header.

struct RequestCase {
    std::string request, header, body;
    int version;
    bool reply;
};

TEST(WireFormat, RequestsSplitIntoHeaderBodyAndVersion) {
    const RequestCase cases[] = {
        {"\b0150\r\n\bHello", "\b0150\r\n\b", "Hello", 150, true},
        {"Hello", "", "Hello", 100, false},
        {"\babcd\bHi", "\babcd\b", "Hi", 0, false},
        {"\b0150Hi", "\b0150Hi", "", 150, true},
        {"\b", "\b", "", 0, false},
        {"", "", "", 100, false},
        {"\b0160\r\n\blater", "\b0160\r\n\b", "later", 160, true},
        {"\b0149\r\n\bold", "\b0149\r\n\b", "old", 149, false},
        // A short header: bytes 2 to 5 include the closing mark, so no number.
        {"\b15\bx", "\b15\b", "x", 0, false},
        // Older bare text that happens to start with the mark.
        {"\btab\b rest", "\btab\b", " rest", 0, false},
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
    const std::string text = "a\bz\0\xff\r\nend"s;
    const std::string request = BuildRequest(text);
    ASSERT_EQ(request.size(), 8 + text.size());
    EXPECT_EQ(request.substr(0, 8), "\b0150\r\n\b");
    EXPECT_EQ(ParseHeader(request).size(), 8u);
    EXPECT_EQ(StripHeader(request), text);
}

TEST(WireFormat, StatusRepliesRoundTripAndReadLeniently) {
    EXPECT_EQ(BuildStatusReply(true, false, ""), "\b10\b");
    EXPECT_EQ(BuildStatusReply(false, true, "away\0x"s), "\b01\baway\0x"s);

    struct ReplyCase {
        std::string reply;
        bool alertsOff, autoResponse;
        std::string text;
    };
    const ReplyCase cases[] = {
        {"\b10\b", true, false, ""},        {"\b01\bI'm out", false, true, "I'm out"},
        {"\b11\bboth", true, true, "both"}, {"\b1", true, false, ""},
        {"\b", false, false, ""},           {"", false, false, ""},
        {"110", false, false, "110"},       {"\b\b1", false, false, "1"},
        {"\b2x\b", false, false, ""},
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
        {"\b0150", 150}, {"\b9999\b", 9999}, {"\b+150", 150}, {"\b-001", -1},
        {"\b15 0", 0},   {"\b 150", 0},      {"\b-", 0},      {"\b\0"s + "150", 0},
    };
    for (const auto& [header, version] : cases) {
        SCOPED_TRACE(testing::PrintToString(header));
        EXPECT_EQ(HeaderVersion(header), version);
    }
}
}  // namespace
