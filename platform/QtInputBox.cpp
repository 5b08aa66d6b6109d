#include "platform/QtInputBox.h"

#include <QInputDialog>
#include <QLabel>
#include <QPointer>

#include "platform/TextCodec.h"

bool TQtInputBox::InputQuery(QWidget* Owner, const std::string& Caption, const std::string& Prompt,
                             std::string& Value) {
    // On the heap and watched, as the message boxes: an owner destroyed while
    // the box is open takes the box with it.
    QPointer<QInputDialog> box = new QInputDialog(Owner);
    box->setInputMode(QInputDialog::TextInput);
    box->setWindowTitle(DecodeForLine(Caption));
    box->setLabelText(DecodeForBox(Prompt));
    const QString shown = DecodeForLine(Value);
    box->setTextValue(shown);
    // The prompt is ours, but nothing in a box is read as markup.
    if (auto* label = box->findChild<QLabel*>()) label->setTextFormat(Qt::PlainText);
    const int result = box->exec();
    if (!box) return false;
    const QString entered = box->textValue();
    delete box;
    if (result != QDialog::Accepted) return false;
    if (entered != shown) Value = EncodeTyped(entered);
    return true;
}
