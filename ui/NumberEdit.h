#pragma once

#include <QLineEdit>

enum TNumberEditAlign { neLeft = 0, neRight = 1 };

// Single-line edit for whole numbers: only the digits 0 to 9 can be typed
// (pasted or dropped text is taken as it is), the text can sit at the right
// edge, and on request the number is padded with leading zeros to the
// maximum length (0, the default, for none: nothing is padded).
//
// The maximum length limits typing only. Text the program sets, padded text
// and pasted text keep all their digits: QLineEdit's own limit would cut a
// stored port of 100000 to 10000 behind the user's back, so it is not used.
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
    // These hide QLineEdit's, whose limit also applies to setText.
    int maxLength() const { return FMaxLength; }
    void setMaxLength(int Value) { FMaxLength = Value > 0 ? Value : 0; }

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
    // Typed is the text that typing would insert in place of the selection.
    bool RoomFor(const QString& Typed) const;

    TNumberEditAlign FAlign = neRight;
    bool FPadNumber = false;
    bool FKeyDown = false;
    int FMaxLength = 0;
};
