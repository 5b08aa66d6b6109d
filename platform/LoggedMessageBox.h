#pragma once

#include <string>

#include "platform/MessageBox.h"

// Boxes for a program run by a test without a desktop: none is shown. Each is
// appended to the file as one line "caption TAB text TAB icon TAB buttons"
// (backslash, CR, LF and TAB written as \\ \r \n \t) and answered at once with
// its default button.
class TLoggedMessageBox : public IMessageBoxService {
public:
    explicit TLoggedMessageBox(std::string Path) : FPath(std::move(Path)) {}

    TMsgResult Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                    TMsgIcon Icon, TMsgButtons Buttons) override;

private:
    std::string FPath;
};
