#include "app/ShutdownBoxes.h"

#include <unistd.h>

#include <cerrno>

namespace {
void WriteToStandardError(const std::string& Line) {
    std::size_t done = 0;
    while (done < Line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, Line.data() + done, Line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nobody to tell
        done += static_cast<std::size_t>(n);
    }
}
}  // namespace

TShutdownBoxes::TShutdownBoxes(IMessageBoxService& Boxes, TReport Report)
    : FBoxes(Boxes), FReport(Report ? std::move(Report) : WriteToStandardError) {}

TMsgResult TShutdownBoxes::Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                                TMsgIcon Icon, TMsgButtons Buttons) {
    if (!FQuiet) return FBoxes.Show(Owner, Text, Caption, Icon, Buttons);
    // One line: the box's line breaks become blanks.
    std::string line = "wexlo: " + Caption + ": ";
    for (const char c : Text) line += c == '\r' || c == '\n' ? ' ' : c;
    FReport(line + "\n");
    return Buttons == TMsgButtons::YesNo ? TMsgResult::No : TMsgResult::Ok;
}
