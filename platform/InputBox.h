#pragma once

#include <string>

class QWidget;

// The modal one-line input box goes through this service, so that tests can
// answer it without a window. Texts are the program's bytes.
class IInputBoxService {
public:
    virtual ~IInputBoxService() = default;
    // Asks for one line under Caption with Prompt above the field, which starts
    // with Value. OK: true, and Value holds what was entered (empty text
    // included). Cancel: false, Value unchanged. The event loop keeps running
    // while the box is open. Owner may be null.
    virtual bool InputQuery(QWidget* Owner, const std::string& Caption, const std::string& Prompt,
                            std::string& Value) = 0;
};
