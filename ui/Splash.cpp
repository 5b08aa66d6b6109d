#include "ui/Splash.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>
#include <QTimer>

#include "ui/FormLayout.h"
#include "ui/TrayImages.h"

namespace {
// The balloon in client coordinates: the ellipse's bounding box and the
// corners of the tail.
const QRect Ellipse(0, 0, 300, 150);
const QPoint P1(150, 150), P2(205, 144), P3(225, 185);
constexpr int OutlineWidth = 7;
const QRect LogoPlace(35, 40, 225, 75);

// The largest pixel size, up to Largest, at which Text fits Width.
QFont FittingFont(const QString& Text, int Width, int Largest, bool Bold) {
    QFont font;
    font.setBold(Bold);
    for (int size = Largest; size > 6; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(Text) <= Width) break;
    }
    return font;
}
}  // namespace

TfSplash::TfSplash(QWidget* Parent) : QWidget(Parent) {
    setObjectName(QStringLiteral("fSplash"));
    // A splash window has no frame and no taskbar entry, and stays above.
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(ClientWidth, ClientHeight);

    imgBackground = new QLabel(this);
    imgBackground->setObjectName(QStringLiteral("imgBackground"));
    imgBackground->setGeometry(0, 0, ClientWidth, ClientHeight);
    imgBackground->setPixmap(QPixmap::fromImage(DrawBackground()));

    imgSplash = new QLabel(this);
    imgSplash->setObjectName(QStringLiteral("imgSplash"));
    imgSplash->setGeometry(LogoPlace);
    imgSplash->setPixmap(QPixmap::fromImage(DrawLogo()));

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setSingleShot(true);
    Timer->setTimerType(Qt::PreciseTimer);
    Timer->setInterval(Lifetime);
    connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });

    setMask(BalloonRegion());
    TFormLayout::CentreOnScreen(this);
}

QRegion TfSplash::BalloonRegion() {
    // The region reaches one pixel further right and down than the drawn
    // ellipse's box, so the outline's last pixels are not cut off.
    const QRegion ellipse(QRect(0, 0, Ellipse.width() + 1, Ellipse.height() + 1), QRegion::Ellipse);
    return ellipse.united(QRegion(QPolygon({P1, P2, P3}), Qt::WindingFill));
}

QImage TfSplash::DrawBackground() {
    QImage image(ClientWidth, ClientHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(Qt::white);
    p.setPen(QPen(Qt::black, OutlineWidth));
    p.drawEllipse(Ellipse);
    // The tail in white covers the ellipse's outline where it joins; then
    // its two outer edges are drawn.
    p.setPen(QPen(Qt::white, OutlineWidth));
    p.drawPolygon(QPolygon({P1, P2, P3}), Qt::WindingFill);
    p.setPen(QPen(Qt::black, OutlineWidth));
    p.drawLine(P1, P3);
    p.drawLine(P2, P3);
    return image;
}

QImage TfSplash::DrawLogo() {
    QImage image(LogoPlace.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    constexpr int IconSize = 64;
    p.drawImage(QPoint(2, (image.height() - IconSize) / 2), DrawImage('w', 3, IconSize));

    const int textLeft = IconSize + 12;
    const int textWidth = image.width() - textLeft - 2;
    const QString name = QStringLiteral("Wexlo");
    const QString role = QStringLiteral("Messages sending utility");
    p.setPen(QColor(0x1d, 0x4f, 0x91));
    p.setFont(FittingFont(name, textWidth, 42, true));
    p.drawText(QRect(textLeft, 4, textWidth, 46), Qt::AlignLeft | Qt::AlignVCenter, name);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.setFont(FittingFont(role, textWidth, 13, false));
    p.drawText(QRect(textLeft, 50, textWidth, 20), Qt::AlignLeft | Qt::AlignVCenter, role);
    return image;
}

void TfSplash::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    Timer->start();
}

void TfSplash::TimerTimer() {
    // Goes once the events already queued for it are handled.
    deleteLater();
}
