#pragma once

#include <algorithm>

#include <QScreen>
#include <QWidget>

// Places a form's controls at the fixed positions of its design, made for an
// 8-point font (LineHeight high), scaled up by one factor so that what the
// font in use needs fits. Each form measures its own needs.
class TFormLayout {
public:
    static constexpr double LineHeight = 13.0;

    // The scale is the largest of 1 and the given ratios (what the font
    // needs over what the design gave it): a design never shrinks.
    explicit TFormLayout(std::initializer_list<double> Needs = {}) {
        for (const double need : Needs) FScale = std::max(FScale, need);
    }

    // A design length at this scale.
    int At(int Value) const { return int(Value * FScale); }
    void Place(QWidget* Control, int X, int Y, int Width, int Height) const {
        Control->setGeometry(At(X), At(Y), At(Width), At(Height));
    }
    // A label takes its place and the size its text needs.
    void PlaceLabel(QWidget* Label, int X, int Y) const {
        Label->move(At(X), At(Y));
        Label->adjustSize();
    }
    // The form's client size, which the user cannot change.
    void FixSize(QWidget* Form, int Width, int Height) const {
        Form->setFixedSize(At(Width), At(Height));
    }
    // Puts a window in the middle of its screen's free area.
    static void CentreOnScreen(QWidget* Window) {
        if (const QScreen* screen = Window->screen())
            Window->move(screen->availableGeometry().center() - Window->rect().center());
    }

private:
    double FScale = 1.0;
};
