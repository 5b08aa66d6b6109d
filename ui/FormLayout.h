#pragma once

#include <initializer_list>

class QWidget;

// Places a form's controls at the fixed positions of its design, made for an
// 8-point font, scaled up by one factor so that what the font in use needs
// fits. Each form measures its own needs; the layout only does the sums.
class TFormLayout {
public:
    // The scale is the largest of 1 and the given ratios (what the font
    // needs over what the design gave it): the design never shrinks.
    explicit TFormLayout(std::initializer_list<double> Needs = {});

    // A design length at this scale.
    int At(int Value) const { return int(Value * FScale); }
    void Place(QWidget* Control, int X, int Y, int Width, int Height) const;
    // A label takes its place and the size its text needs.
    void PlaceLabel(QWidget* Label, int X, int Y) const;
    // The form's client size, which the user cannot change.
    void FixSize(QWidget* Form, int Width, int Height) const;

    // Puts a window in the middle of its screen's free area.
    static void CentreOnScreen(QWidget* Window);

private:
    double FScale = 1.0;
};
