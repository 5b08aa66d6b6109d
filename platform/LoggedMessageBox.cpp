#include "platform/LoggedMessageBox.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
std::string Escaped(const std::string& Text) {
    std::string out;
    for (char c : Text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}
}  // namespace

TMsgResult TLoggedMessageBox::Show(QWidget*, const std::string& Text, const std::string& Caption,
                                   TMsgIcon Icon, TMsgButtons Buttons) {
    static const char* const IconNames[] = {"None", "Information", "Warning", "Error", "Question"};
    const bool yesNo = Buttons == TMsgButtons::YesNo;
    const std::string line = Escaped(Caption) + '\t' + Escaped(Text) + '\t' +
                             IconNames[static_cast<int>(Icon)] + '\t' + (yesNo ? "YesNo" : "Ok") +
                             '\n';
    // One write on an append-only file: boxes of two copies never mix.
    const int fd = ::open(FPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
    return yesNo ? TMsgResult::Yes : TMsgResult::Ok;
}
