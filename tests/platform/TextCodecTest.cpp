#include <gtest/gtest.h>

#include <iconv.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>

#include "platform/TextCodec.h"
#include "tests/support/TestSupport.h"

namespace {
using namespace std::string_literals;

QString U(const char16_t* Text) {
    return QString::fromUtf16(Text);
}

TEST(TextCodec, ValidUtf8ShowsAsUtf8AndAnythingElseAsWindows1252) {
    const struct {
        std::string bytes;
        QString shown;
    } cases[] = {
        {"", u""_qs},
        {"plain", u"plain"_qs},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", U(u"café € 😀")},
        // A Windows peer's text.
        {"caf\xE9 \x80 \x8A\x9F", U(u"café € ŠŸ")},
        // Overlong, surrogate, past U+10FFFF, cut short, stray continuation byte.
        {"\xC0\xAF", U(u"À¯")},
        {"\xED\xA0\x80", U(u"í\u00A0\u20AC")},
        {"\xF4\x90\x80\x80", U(u"ô\u0090\u20AC\u20AC")},
        {"\xE2\x82", U(u"â\u201A")},
        {"\x80x", U(u"\u20ACx")},
        {"<b>bold</b> <img src=x>", u"<b>bold</b> <img src=x>"_qs},
        {"nul\0kept"s, QString::fromUtf8("nul\0kept", 8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(DecodeForScreen(c.bytes), c.shown);
    }
}

TEST(TextCodec, Windows1252CoversEveryByte) {
    const struct {
        unsigned char byte;
        char16_t shown;
    } cases[] = {
        {0x00, 0x0000}, {0x41, 0x0041}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081},
        {0x85, 0x2026}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x91, 0x2018},
        {0x99, 0x2122}, {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xAF, 0x00AF},
        {0xE9, 0x00E9}, {0xFF, 0x00FF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.byte));
        EXPECT_EQ(DecodeWindows1252(std::string(1, char(c.byte))), QString(QChar(c.shown)));
    }
    // No two bytes look the same, so nothing a peer sent is lost on screen.
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    const QString shown = DecodeWindows1252(all);
    ASSERT_EQ(shown.size(), 256);
    std::set<char16_t> distinct;
    for (const QChar ch : shown) distinct.insert(ch.unicode());
    EXPECT_EQ(distinct.size(), 256u);
}

// One byte through glibc's own CP1252 table; nothing when it has no mapping.
std::optional<char32_t> IconvCp1252(unsigned char Byte) {
    iconv_t cd = iconv_open("UTF-32LE", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    char in[1] = {static_cast<char>(Byte)};
    unsigned char out[8] = {};
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t inLeft = 1, outLeft = sizeof out;
    const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || outLeft != 4) return std::nullopt;
    return char32_t(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}

TEST(TextCodec, Windows1252MatchesIconvForEveryByte) {
    const iconv_t probe = iconv_open("UTF-32LE", "CP1252");
    ASSERT_NE(probe, reinterpret_cast<iconv_t>(-1)) << "glibc's CP1252 converter is missing";
    iconv_close(probe);
    // Bytes the code page leaves undefined; they show as the C1 control of
    // the same value, as Windows converts them, so no byte is lost.
    const std::set<int> undefined = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    int compared = 0;
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const QString ours = DecodeWindows1252(std::string(1, char(byte)));
        ASSERT_EQ(ours.size(), 1);
        const std::optional<char32_t> expected = IconvCp1252(static_cast<unsigned char>(byte));
        if (expected) {
            EXPECT_EQ(char32_t(ours[0].unicode()), *expected);
            ++compared;
        } else {
            EXPECT_TRUE(undefined.count(byte)) << "iconv cannot map it";
            EXPECT_EQ(ours[0].unicode(), byte);
        }
    }
    EXPECT_EQ(compared, 256 - int(undefined.size()));
}

TEST(TextCodec, TheChoiceIsMadeLineByLine) {
    const std::string mixed = "From pc (10.0.0.1)\r\ncaf\xC3\xA9\r\ncaf\xE9\r\n\xC3\xA9t\xC3\xA9\n";
    EXPECT_EQ(DecodeForScreen(mixed), U(u"From pc (10.0.0.1)\r\ncafé\r\ncafé\r\nété\n"));
}

TEST(TextCodec, Utf8Validation) {
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"\x7F", true},
        {"\xC2\x80", true},
        {"\xDF\xBF", true},
        {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true},
        {"\xEE\x80\x80", true},
        {"\xF0\x90\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xC1\xBF", false},
        {"\xE0\x9F\xBF", false},
        {"\xED\xA0\x80", false},
        {"\xF0\x8F\xBF\xBF", false},
        {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"\xC2", false},
        {"\xC2\x41", false},
        {"\xE2\x82\x41", false},
        {"\x80", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
    }
}

TEST(TextCodec, BoxesAndLinesStopAtNulAndTidyTheBreaks) {
    EXPECT_EQ(UpToNul("ab\0cd"s), "ab");
    EXPECT_EQ(UpToNul("abcd"), "abcd");
    EXPECT_EQ(UpToNul("\0"s), "");

    EXPECT_EQ(DecodeForBox("Unexpected socket error:\rWinsock error 5."),
              u"Unexpected socket error:\nWinsock error 5."_qs);
    EXPECT_EQ(DecodeForBox("a\r\nb\nc\r\rd\0hidden"s), u"a\nb\nc\n\nd"_qs);
    EXPECT_EQ(DecodeForBox("caf\xE9\tx"), U(u"café\tx"));
    EXPECT_EQ(DecodeForLine("evil\r\nname\t\x1b[31m\x85\0rest"s), U(u"evil name  [31m…"));
}

// Compiles a locale into this run's folder and makes it the process's; false
// when the machine cannot.
bool UseBuiltLocale(const std::string& Source, const std::string& Charmap) {
    const std::string dir = testsupport::TempDir() + "/locales";
    const std::string name = Source + "." + Charmap;
    std::filesystem::create_directories(dir);
    const std::string command = "localedef -c -i " + Source + " -f " + Charmap + " " + dir + "/" +
                                name + " >/dev/null 2>&1";
    if (std::system(command.c_str()) == -1) return false;
    setenv("LOCPATH", dir.c_str(), 1);
    const bool ok = std::setlocale(LC_CTYPE, name.c_str()) != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

TEST(TextCodec, TypedTextIsSentInTheLocalesEncoding) {
    const std::string old = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
    EXPECT_EQ(EncodeTyped(U(u"café €\r\n")), "caf\xC3\xA9 \xE2\x82\xAC\r\n");
    EXPECT_EQ(DecodeForScreen(EncodeTyped(U(u"ünïcödé 😀"))), U(u"ünïcödé 😀"));

    if (UseBuiltLocale("de_DE", "ISO-8859-1")) {
        EXPECT_EQ(EncodeTyped(U(u"café")), "caf\xE9");
        // What the locale cannot hold becomes one '?' per character.
        EXPECT_EQ(EncodeTyped(U(u"€5 😀!")), "?5 ?!");
        EXPECT_EQ(DecodeForScreen(EncodeTyped(U(u"Grüße"))), U(u"Grüße"));
        const std::string big = EncodeTyped(QString(10000, QChar(0xE9)));
        EXPECT_EQ(big, std::string(10000, '\xE9'));
    } else {
        ADD_FAILURE() << "no ISO-8859-1 locale could be built";
    }
    std::setlocale(LC_CTYPE, old.c_str());
}

TEST(TextCodec, ALargeRecordDecodesQuickly) {
    // 50 MB of entries, every tenth line from a Windows peer.
    std::string record;
    record.reserve(50'000'000);
    int i = 0;
    while (record.size() < 50'000'000)
        record += ++i % 10 ? "caf\xC3\xA9 and plain text of a message line\r\n"
                           : "caf\xE9 from a Windows peer\r\n";
    // The work of this thread, which other load on the machine does not stretch.
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1000 + double(t.tv_nsec) / 1e6;
    };
    const double start = cpuMs();
    const QString shown = DecodeForScreen(record);
    const double ms = cpuMs() - start;
    RecordProperty("decode_50mb_cpu_ms", static_cast<int>(ms));
    EXPECT_FALSE(shown.contains(QChar(0xFFFD)));
    EXPECT_LT(ms, 5000);
}
}  // namespace
