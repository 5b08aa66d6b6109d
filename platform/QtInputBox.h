#pragma once

#include "platform/InputBox.h"

// The real input box: a modal QInputDialog run by exec(). A value the user
// leaves as it was shown comes back as the very bytes it was given.
class TQtInputBox : public IInputBoxService {
public:
    bool InputQuery(QWidget* Owner, const std::string& Caption, const std::string& Prompt,
                    std::string& Value) override;
};
