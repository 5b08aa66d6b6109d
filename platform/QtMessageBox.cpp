#include "platform/QtMessageBox.h"

#include <QEventLoop>
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
    // Not exec(): that makes the box application-modal, and the tray menu,
    // the alerts and the send dialog would wait with it. The box blocks only
    // the window it belongs to; the caller waits in a loop of its own.
    box->setWindowModality(Owner ? Qt::WindowModal : Qt::NonModal);
    const TModalAbove above(box);
    QEventLoop wait;
    QObject::connect(box, &QDialog::finished, &wait, &QEventLoop::quit);
    QObject::connect(box, &QObject::destroyed, &wait, &QEventLoop::quit);
    box->show();
    wait.exec();
    const bool yes = box && box->clickedButton() == box->button(QMessageBox::Yes);
    if (box) delete box;
    if (Buttons == TMsgButtons::Ok) return TMsgResult::Ok;
    return yes ? TMsgResult::Yes : TMsgResult::No;
}
