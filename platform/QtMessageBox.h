#pragma once

#include "platform/MessageBox.h"

// The real message boxes. Show waits for the answer in a loop of its own, so
// messages are still received and answered while a box is open, and the box
// blocks no other window of the program (its owner's alone, when it has one).
// Everything is shown as plain text, whatever the peer put in it. A box comes
// above the program's keep-above (on-top) windows.
class TQtMessageBox : public IMessageBoxService {
public:
    TMsgResult Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                    TMsgIcon Icon, TMsgButtons Buttons) override;
};
