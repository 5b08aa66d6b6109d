#pragma once

#include <QImage>
#include <QRegion>
#include <QWidget>

class QLabel;
class QTimer;

// The greeting at start-up: a speech balloon with the program's logo that
// stays above other windows for two seconds and then goes by itself. Only
// the balloon is part of the window; around it the desktop shows through.
// It has no taskbar entry and takes no clicks or keys.
class TfSplash : public QWidget {
    Q_OBJECT
public:
    explicit TfSplash(QWidget* Parent = nullptr);

    static constexpr int ClientWidth = 317;
    static constexpr int ClientHeight = 198;
    static constexpr int Lifetime = 2000;  // ms from showing to going

    // The window's shape: the ellipse and the tail of the balloon.
    static QRegion BalloonRegion();
    // The balloon as drawn: white with a black outline.
    static QImage DrawBackground();
    // The logo: the program's icon and its name, 225 by 75 pixels.
    static QImage DrawLogo();

    QLabel* imgBackground;
    QLabel* imgSplash;
    QTimer* Timer;

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void TimerTimer();
};
