#include "ui/NumberEdit.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>

namespace {
bool AllDigits(const QString& Text) {
    for (const QChar c : Text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

// Typed text, as opposed to shortcuts such as Ctrl+V that carry a control
// character.
bool IsPrintable(const QString& Text) {
    for (const QChar c : Text)
        if (!c.isPrint()) return false;
    return !Text.isEmpty();
}
}  // namespace

TNumberEdit::TNumberEdit(QWidget* Parent) : QLineEdit(Parent) {
    SetAlign(neRight);
    connect(this, &QLineEdit::textChanged, this, [this] {
        emit Change();
        PadText();
    });
}

void TNumberEdit::SetAlign(TNumberEditAlign Value) {
    FAlign = Value;
    setAlignment((Value == neRight ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
}

void TNumberEdit::SetPadNumber(bool Value) {
    FPadNumber = Value;
    if (Value)
        PadText();
    else
        setText(QString::number(TextToInt(text())));
}

int TNumberEdit::TextToInt(const QString& Text) {
    bool ok = false;
    const int value = Text.trimmed().toInt(&ok, 10);
    return ok ? value : 0;
}

QString TNumberEdit::Padded(int Value, int Digits) {
    QString digits = QString::number(qAbs(qint64(Value)));
    if (digits.size() < Digits) digits.prepend(QString(Digits - digits.size(), u'0'));
    return Value < 0 ? QStringLiteral("-") + digits : digits;
}

void TNumberEdit::PadText() {
    if (!FPadNumber || FKeyDown) return;
    setText(Padded(TextToInt(text()), FMaxLength));
    FKeyDown = false;
}

bool TNumberEdit::RoomFor(const QString& Typed) const {
    if (FMaxLength == 0) return true;
    return text().size() - selectedText().size() + Typed.size() <= FMaxLength;
}

void TNumberEdit::keyPressEvent(QKeyEvent* Event) {
    FKeyDown = true;
    if (IsPrintable(Event->text()) &&
        !(Event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) &&
        (!AllDigits(Event->text()) || !RoomFor(Event->text()))) {
        Event->accept();
        return;
    }
    QLineEdit::keyPressEvent(Event);
}

void TNumberEdit::keyReleaseEvent(QKeyEvent* Event) {
    FKeyDown = false;
    QLineEdit::keyReleaseEvent(Event);
}

void TNumberEdit::inputMethodEvent(QInputMethodEvent* Event) {
    // Composed input is typing too.
    if (!AllDigits(Event->commitString()) || !RoomFor(Event->commitString())) {
        QInputMethodEvent filtered(Event->preeditString(), Event->attributes());
        QLineEdit::inputMethodEvent(&filtered);
        return;
    }
    QLineEdit::inputMethodEvent(Event);
}

void TNumberEdit::focusOutEvent(QFocusEvent* Event) {
    PadText();
    QLineEdit::focusOutEvent(Event);
    emit Exit();
}
