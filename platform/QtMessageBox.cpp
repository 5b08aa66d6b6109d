#include "platform/QtMessageBox.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "platform/TextCodec.h"
#include "platform/WindowStacking.h"

namespace {
QMessageBox::Icon ToQt(TMsgIcon icon) {
    switch (icon) {
        case TMsgIcon::Information:
            return QMessageBox::Information;
        case TMsgIcon::Warning:
            return QMessageBox::Warning;
        case TMsgIcon::Error:
            return QMessageBox::Critical;
        case TMsgIcon::Question:
            return QMessageBox::Question;
        case TMsgIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}
}  // namespace

TMsgResult TQtMessageBox::Show(QWidget* Owner, const std::string& Text, const std::string& Caption,
                               TMsgIcon Icon, TMsgButtons Buttons) {
    // On the heap and watched: an owner destroyed while the box is open takes
    // the box with it.
    QPointer<QMessageBox> box = new QMessageBox(Owner);
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(DecodeForLine(Caption));
    box->setText(DecodeForBox(Text));
    box->setIcon(ToQt(Icon));
    if (Buttons == TMsgButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    }
    const TModalAbove above(box);
    const int pressed = box->exec();
    if (box) delete box;
    if (Buttons == TMsgButtons::Ok) return TMsgResult::Ok;
    return pressed == QMessageBox::Yes ? TMsgResult::Yes : TMsgResult::No;
}
