#pragma once

#include "platform/MessageBox.h"

// The real message boxes: a modal QMessageBox run by exec(), so the event loop
// keeps running (messages are still received and answered) while it is open.
// Everything is shown as plain text, whatever the peer put in it. A box comes
// above the program's keep-above (on-top) windows.
class TQtMessageBox : public IMessageBoxService {
public:
    TMsgResult Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                    TMsgIcon Icon, TMsgButtons Buttons) override;
};
