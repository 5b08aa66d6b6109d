#include "TextCodec.h"

#include <QStringDecoder>

#include <iconv.h>
#include <langinfo.h>
#include <cerrno>
#include <cstring>

namespace {
// 0x80..0x9F; the rest of the code page equals Latin-1.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
};

QChar* PutWindows1252(QChar* Out, std::string_view Bytes) {
    for (const char ch : Bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        *Out++ = QChar(byte >= 0x80 && byte < 0xA0 ? Cp1252High[byte - 0x80] : char16_t(byte));
    }
    return Out;
}

// Turns CR LF, lone CR and lone LF into Replacement, and (for single lines)
// other control characters into blanks.
QString NormalizeBreaks(const QString& Text, QChar Replacement, bool BlankControls) {
    QString out;
    out.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const QChar ch = Text[i];
        if (ch == u'\r') {
            if (i + 1 < Text.size() && Text[i + 1] == u'\n') ++i;
            out += Replacement;
        } else if (ch == u'\n') {
            out += Replacement;
        } else if (BlankControls && (ch.unicode() < 0x20 || ch.unicode() == 0x7F ||
                                     (ch.unicode() >= 0x80 && ch.unicode() < 0xA0))) {
            out += u' ';
        } else {
            out += ch;
        }
    }
    return out;
}
}  // namespace

bool IsValidUtf8(std::string_view Bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
    const auto* end = p + Bytes.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int more;
        unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (end - p <= more) return false;
        if (p[1] < low || p[1] > high) return false;
        for (int k = 2; k <= more; ++k)
            if (p[k] < 0x80 || p[k] > 0xBF) return false;
        p += more + 1;
    }
    return true;
}

std::size_t PartialUtf8Tail(std::string_view Bytes) {
    std::size_t tail = 0;
    for (std::size_t back = 1; back <= 3 && back <= Bytes.size(); ++back) {
        const auto c = static_cast<unsigned char>(Bytes[Bytes.size() - back]);
        if ((c & 0xC0) == 0x80) continue;
        const std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                                   : c >= 0xE0 && c <= 0xEF ? 3
                                   : c >= 0xF0 && c <= 0xF4 ? 4
                                                            : 0;
        tail = length > back ? back : 0;
        break;
    }
    if (tail == 0) return 0;
    const std::size_t end = Bytes.size() - tail;
    const std::size_t lastBreak =
        end == 0 ? std::string_view::npos : Bytes.find_last_of("\r\n", end - 1);
    const std::size_t start = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    return IsValidUtf8(Bytes.substr(start, end - start)) ? tail : 0;
}

QString DecodeWindows1252(std::string_view Bytes) {
    QString out(static_cast<qsizetype>(Bytes.size()), Qt::Uninitialized);
    PutWindows1252(out.data(), Bytes);
    return out;
}

QString DecodeForScreen(std::string_view Bytes) {
    // UTF-8 sequences never contain a CR or LF byte, so lines can be judged
    // apart. Records can be large: everything goes straight into one buffer,
    // which is big enough because no byte gives more than one UTF-16 unit.
    QString out(static_cast<qsizetype>(Bytes.size()), Qt::Uninitialized);
    QChar* dst = out.data();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const auto putUtf8 = [&](std::string_view run) {
        if (!run.empty())
            dst = utf8.appendToBuffer(dst, QByteArrayView(run.data(), qsizetype(run.size())));
    };
    std::size_t runStart = 0, at = 0;
    while (at < Bytes.size()) {
        std::size_t next = Bytes.find('\n', at);
        next = next == std::string_view::npos ? Bytes.size() : next + 1;
        const std::string_view line = Bytes.substr(at, next - at);
        if (!IsValidUtf8(line)) {
            putUtf8(Bytes.substr(runStart, at - runStart));
            dst = PutWindows1252(dst, line);
            runStart = next;
        }
        at = next;
    }
    putUtf8(Bytes.substr(runStart));
    out.truncate(dst - out.constData());
    return out;
}

// Printable ASCII reads the same in every decoding and needs no cleaning:
// most names, addresses and status texts are only that.
static bool PrintableAscii(std::string_view Bytes) {
    for (const char ch : Bytes)
        if (ch < 0x20 || ch > 0x7E) return false;
    return true;
}

QString DecodeForBox(std::string_view Bytes) {
    if (PrintableAscii(Bytes)) return QString::fromLatin1(Bytes.data(), qsizetype(Bytes.size()));
    return NormalizeBreaks(DecodeForScreen(UpToNul(Bytes)), u'\n', false);
}

QString DecodeForLine(std::string_view Bytes) {
    if (PrintableAscii(Bytes)) return QString::fromLatin1(Bytes.data(), qsizetype(Bytes.size()));
    return NormalizeBreaks(DecodeForScreen(UpToNul(Bytes)), u' ', true);
}

std::string_view UpToNul(std::string_view Bytes) {
    return Bytes.substr(0, std::min(Bytes.find('\0'), Bytes.size()));
}

std::string EncodeTyped(const QString& Text) {
    const QByteArray utf8 = Text.toUtf8();
    const char* codeset = nl_langinfo(CODESET);
    // Plain ASCII is what an unset locale reports; UTF-8 loses less there.
    if (!codeset || !*codeset || std::strcmp(codeset, "UTF-8") == 0 ||
        std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
        return utf8.toStdString();

    iconv_t cd = iconv_open(codeset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return utf8.toStdString();
    std::string out;
    char buffer[4096];
    char* in = const_cast<char*>(utf8.constData());
    std::size_t inLeft = static_cast<std::size_t>(utf8.size());
    while (inLeft > 0) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A character the locale cannot hold: one '?' for the whole of it.
            if (errno != EILSEQ || inLeft == 0) break;
            out += '?';
            do {
                ++in;
                --inLeft;
            } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
        }
    }
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    iconv_close(cd);
    return out;
}
