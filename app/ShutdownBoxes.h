#pragma once

#include <functional>
#include <string>

#include "platform/MessageBox.h"

// The message boxes of a program that may be ended from outside. Once it is
// being ended by a signal or by the end of the desktop session, no box waits
// for a user who is not there: each one is reported as a line on standard
// error instead and answered at once, Ok, or No to a question (whatever it
// would have given up stays where it is).
class TShutdownBoxes : public IMessageBoxService {
public:
    using TReport = std::function<void(const std::string& Line)>;

    // Report: where the unasked boxes go; standard error by default.
    explicit TShutdownBoxes(IMessageBoxService& Boxes, TReport Report = nullptr);

    // From now on (or again, for a logout that was cancelled), ask nobody.
    void SetQuiet(bool Value) { FQuiet = Value; }
    bool Quiet() const { return FQuiet; }

    TMsgResult Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                    TMsgIcon Icon, TMsgButtons Buttons) override;

private:
    IMessageBoxService& FBoxes;
    TReport FReport;
    bool FQuiet = false;
};
