#pragma once

#include <string>

class QWidget;

// Message boxes go through this one service, so that tests can answer
// them with a recorder instead of a window. Texts are the program's bytes
// (peer text included) and are always shown as plain text.
enum class TMsgIcon { None, Information, Warning, Error, Question };
enum class TMsgButtons { Ok, YesNo };
enum class TMsgResult { Ok, Yes, No };

class IMessageBoxService {
public:
    virtual ~IMessageBoxService() = default;
    // Shows the box and returns the button pressed once it is answered; the
    // event loop keeps running meanwhile. Owner may be null.
    virtual TMsgResult Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                            TMsgIcon Icon, TMsgButtons Buttons) = 0;
};

// The captions the program uses.
namespace Caption {
inline const std::string AppTitle = "Wexlo - Messages sending utility";
inline const std::string Error = "Wexlo - Error";
inline const std::string Confirmation = "Confirmation";
}  // namespace Caption
