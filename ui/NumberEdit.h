#pragma once

#include <QLineEdit>

enum TNumberEditAlign { neLeft = 0, neRight = 1 };

// Single-line edit for whole numbers: only the digits 0 to 9 can be typed
// (pasted or dropped text is taken as it is), the text can sit at the right
// edge, and on request the number is padded with leading zeros to the
// maximum length (QLineEdit::setMaxLength; the unlimited default pads nothing).
//
// Listen to Change rather than textChanged: Change fires for the text as it
// was set, before padding replaces it (and fires again for the padded text).
// Exit fires when the focus leaves, after padding.
class TNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget* Parent = nullptr);

    TNumberEditAlign Align() const { return FAlign; }
    void SetAlign(TNumberEditAlign Value);
    bool PadNumber() const { return FPadNumber; }
    void SetPadNumber(bool Value);

    // The text read as a decimal integer; 0 when it is not one.
    static int TextToInt(const QString& Text);
    // Value written with at least Digits digits (C's "%.*d").
    static QString Padded(int Value, int Digits);

signals:
    void Change();
    void Exit();

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void inputMethodEvent(QInputMethodEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    void PadText();
    int PadWidth() const;

    TNumberEditAlign FAlign = neRight;
    bool FPadNumber = false;
    bool FKeyDown = false;
};
