// Feeds arbitrary bytes to the text decoding for the screen: no byte is lost
// or changed on its way to the screen, and the single-line and box forms keep
// what they promise.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <QString>

#include "platform/TextCodec.h"

namespace {

// The bytes back from a decoded line: UTF-8 if they were valid, else one
// character per byte of Windows-1252.
bool Encodes(const QString& Shown, std::string_view Line) {
    if (IsValidUtf8(Line)) return Shown.toUtf8().toStdString() == Line;
    return Shown == DecodeWindows1252(Line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Line by line (each with its LF), the screen shows exactly these bytes.
    const QString screen = DecodeForScreen(bytes);
    QString expected;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t next = bytes.find('\n', at);
        next = next == std::string_view::npos ? bytes.size() : next + 1;
        const std::string_view line = bytes.substr(at, next - at);
        const QString part = DecodeForScreen(line);
        if (!Encodes(part, line)) std::abort();
        expected += part;
        at = next;
    }
    if (screen != expected) std::abort();
    if (DecodeWindows1252(bytes).size() != qsizetype(size)) std::abort();

    const QString box = DecodeForBox(bytes);
    if (box.contains(u'\r') || box.contains(QChar(0))) std::abort();
    const QString line = DecodeForLine(bytes);
    for (const QChar c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F ||
            (c.unicode() >= 0x80 && c.unicode() < 0xA0))
            std::abort();
    if (UpToNul(bytes).find('\0') != std::string_view::npos) std::abort();
    return 0;
}
