#include "ui/FormLayout.h"

#include <algorithm>

#include <QScreen>
#include <QWidget>

TFormLayout::TFormLayout(std::initializer_list<double> Needs) {
    for (const double need : Needs) FScale = std::max(FScale, need);
}

void TFormLayout::Place(QWidget* Control, int X, int Y, int Width, int Height) const {
    Control->setGeometry(At(X), At(Y), At(Width), At(Height));
}

void TFormLayout::PlaceLabel(QWidget* Label, int X, int Y) const {
    Label->move(At(X), At(Y));
    Label->adjustSize();
}

void TFormLayout::FixSize(QWidget* Form, int Width, int Height) const {
    Form->setFixedSize(At(Width), At(Height));
}

void TFormLayout::CentreOnScreen(QWidget* Window) {
    if (const QScreen* screen = Window->screen())
        Window->move(screen->availableGeometry().center() - Window->rect().center());
}
