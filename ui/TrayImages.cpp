#include "ui/TrayImages.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include <QCoreApplication>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// Every picture is laid out on a 32-unit grid. Boxes are snapped to whole
// pixels at each size so edges stay sharp; only slanted and round strokes are
// antialiased.
class TCanvas {
public:
    explicit TCanvas(QImage& Image) : p(&Image), S(Image.width()), k(S / 32.0) {
        p.setRenderHint(QPainter::Antialiasing, true);
    }

    int X(double u) const { return static_cast<int>(std::lround(u * k)); }
    QRect Box(double x0, double y0, double x1, double y1) const {
        const int l = X(x0), t = X(y0);
        return QRect(l, t, std::max(1, X(x1) - l), std::max(1, X(y1) - t));
    }
    QPointF P(double x, double y) const { return {x * k, y * k}; }
    // Outline width in pixels.
    int Line() const { return S >= 32 ? 2 : 1; }
    bool Small() const { return S < 20; }

    // A box with a crisp outline of w pixels.
    void Framed(const QRect& r, const QColor& outline, const QBrush& fill, int w = 0) {
        if (w == 0) w = Line();
        p.fillRect(r, outline);
        if (r.width() > 2 * w && r.height() > 2 * w) p.fillRect(r.adjusted(w, w, -w, -w), fill);
    }

    QPainterPath Scaled(const QPainterPath& units) const {
        return QTransform::fromScale(k, k).map(units);
    }

    // Corners moved onto pixel centres, so that a one-pixel outline along a
    // straight edge covers one pixel row instead of smearing over two.
    QPainterPath Snapped(const QPainterPath& units, double width) const {
        QPainterPath path = Scaled(units);
        for (int i = 0; i < path.elementCount(); ++i)
            if (path.elementAt(i).isCurveTo()) return path;
        const double offset = std::lround(width) % 2 ? 0.5 : 0.0;
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            if (e.type == QPainterPath::MoveToElement || e.type == QPainterPath::LineToElement)
                path.setElementPositionAt(i, std::floor(e.x) + offset, std::floor(e.y) + offset);
        }
        return path;
    }

    // A filled shape in grid units with a pixel outline.
    void Shape(const QPainterPath& units, const QColor& outline, const QBrush& fill,
               double width = 0) {
        if (width <= 0) width = Line();
        QPen pen(outline, width);
        pen.setJoinStyle(Qt::MiterJoin);
        p.setPen(pen);
        p.setBrush(fill);
        p.drawPath(Snapped(units, width));
    }

    // A thick stroke (width in units) with a dark rim around it.
    void Stroke(const QPainterPath& units, double width, const QColor& color, const QColor& rim) {
        const double w = std::max(width * k, 2.0);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(rim, w + 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(Scaled(units));
        p.setPen(QPen(color, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(Scaled(units));
    }

    QPainter p;
    const int S;
    const double k;
};

namespace Color {
const QColor Ink(0x1f, 0x29, 0x37);
const QColor Bezel(0xe4, 0xe8, 0xee);
const QColor ScreenTop(0x8f, 0xd0, 0xff);
const QColor ScreenBottom(0x23, 0x64, 0xc0);
const QColor Stand(0x9a, 0xa5, 0xb4);
const QColor CableDark(0x2c, 0x34, 0x40);
const QColor CableLight(0xa9, 0xb6, 0xc6);
const QColor Paper(0xff, 0xff, 0xff);
const QColor TextLine(0x8a, 0x96, 0xa6);
const QColor Envelope(0xfb, 0xf3, 0xdc);
const QColor EnvelopeShade(0xe6, 0xd7, 0xae);
const QColor Red(0xe5, 0x39, 0x35);
const QColor RedRim(0x7f, 0x11, 0x11);
const QColor Green(0x3f, 0xc4, 0x4f);
const QColor GreenRim(0x12, 0x5a, 0x1e);
const QColor Spark(0x7d, 0xff, 0x5a);
const QColor SparkCore(0xf4, 0xff, 0xc8);
const QColor Blue(0x4a, 0x8d, 0xff);
const QColor BlueRim(0x0b, 0x24, 0x6e);
const QColor Cyan(0x18, 0xd0, 0xe0);
const QColor CyanRim(0x05, 0x4e, 0x5a);
const QColor Title(0x2f, 0x6f, 0xd0);
const QColor Wood(0xb0, 0x6b, 0x2e);
const QColor WoodDark(0x6b, 0x3a, 0x12);
const QColor Pencil(0xf6, 0xc3, 0x2c);
const QColor PencilRim(0x7a, 0x55, 0x05);
const QColor Balloon2(0xff, 0xf1, 0xa8);
const QColor Disk(0x2d, 0x5d, 0xb8);
const QColor Metal(0xc9, 0xcf, 0xd6);
const QColor Parchment(0xf7, 0xe9, 0xc0);
const QColor ParchmentShade(0xd9, 0xbf, 0x7c);
}  // namespace Color

// ---- Tray picture --------------------------------------------------------

// A monitor on a stand; the monitor box is given in grid units.
void Computer(TCanvas& c, double x0, double y0, double x1, double y1) {
    const QRect monitor = c.Box(x0, y0, x1, y1);
    const int w = c.Line();
    c.p.fillRect(monitor, Color::Ink);
    QRect inner = monitor.adjusted(w, w, -w, -w);
    if (!c.Small()) {
        c.p.fillRect(inner, Color::Bezel);
        inner.adjust(1, 1, -1, -1);
    }
    QLinearGradient screen(inner.topLeft(), inner.bottomRight());
    screen.setColorAt(0, Color::ScreenTop);
    screen.setColorAt(1, Color::ScreenBottom);
    c.p.fillRect(inner, screen);

    const double mid = (x0 + x1) / 2;
    const QRect neck = c.Box(mid - 1.5, y1, mid + 1.5, y1 + 1.8);
    c.p.fillRect(neck, Color::Ink);
    const QRect base = c.Box(mid - 5, y1 + 1.8, mid + 5, y1 + 3.8);
    c.Framed(base, Color::Ink, Color::Stand, 1);
}

// The cable runs from the lower computer's right side across, then up to the
// upper computer's stand. Spark positions follow it. Above 16 pixels it is a
// dark and a light line side by side, so it shows on light and dark panels.
void Cable(TCanvas& c) {
    const QRect across = c.Box(19, 22, 25, 22);
    const QRect up = c.Box(24, 16.8, 25, 22);
    const int x0 = across.left(), x1 = up.left(), y0 = up.top(), y1 = across.top();
    if (c.Small()) {
        c.p.fillRect(QRect(QPoint(x0, y1), QPoint(x1, y1)), Color::CableDark);
        c.p.fillRect(QRect(QPoint(x1, y0), QPoint(x1, y1)), Color::CableDark);
        return;
    }
    const int w = c.S >= 32 ? 2 : 1;
    c.p.fillRect(QRect(x0, y1, x1 - x0 + w, w), Color::CableDark);
    c.p.fillRect(QRect(x1, y0, w, y1 - y0 + w), Color::CableDark);
    c.p.fillRect(QRect(x0, y1 + w, x1 - x0 + 2 * w, w), Color::CableLight);
    c.p.fillRect(QRect(x1 + w, y0, w, y1 - y0 + w), Color::CableLight);
}

void Spark(TCanvas& c, double x, double y) {
    const QPointF at = c.P(x, y);
    const double r = std::max(3.4 * c.k, 2.3);
    QRadialGradient glow(at, r);
    glow.setColorAt(0, Color::SparkCore);
    glow.setColorAt(0.45, Color::Spark);
    glow.setColorAt(1, QColor(0x2c, 0xb8, 0x2a));
    c.p.setPen(QPen(Color::GreenRim, 1));
    c.p.setBrush(glow);
    c.p.drawEllipse(at, r, r);
}

// The ellipse rectangle inside a pixel box with its outline on whole pixels.
QRectF PixelOval(const TCanvas& c, const QRect& box) {
    const double inset = c.Line() / 2.0;
    return QRectF(box).adjusted(inset, inset, -inset, -inset);
}

// A balloon: a rounded box with a tail from its lower edge, as one outline
// (a united path would be flattened into a jagged polygon). Its straight
// edges lie on whole pixels; only the corners are smoothed.
QPainterPath BalloonPath(const QRectF& r, bool tailRight, const QPointF& tip) {
    const double radius = std::min(r.width(), r.height()) * 0.4, d = 2 * radius;
    const double w = r.width();
    // Where the tail leaves the lower edge, from its left end.
    const double t0 = tailRight ? r.right() - w * 0.44 : r.left() + w * 0.2;
    const double t1 = tailRight ? r.right() - w * 0.2 : r.left() + w * 0.44;
    QPainterPath path;
    path.moveTo(t1, r.bottom());
    path.lineTo(r.right() - radius, r.bottom());
    path.arcTo(QRectF(r.right() - d, r.bottom() - d, d, d), 270, 90);
    path.lineTo(r.right(), r.top() + radius);
    path.arcTo(QRectF(r.right() - d, r.top(), d, d), 0, 90);
    path.lineTo(r.left() + radius, r.top());
    path.arcTo(QRectF(r.left(), r.top(), d, d), 90, 90);
    path.lineTo(r.left(), r.bottom() - radius);
    path.arcTo(QRectF(r.left(), r.bottom() - d, d, d), 180, 90);
    path.lineTo(t0, r.bottom());
    path.lineTo(tip);
    path.closeSubpath();
    return path;
}

void DrawOutlined(TCanvas& c, const QPainterPath& pixels, const QColor& fill) {
    c.p.setPen(QPen(Color::Ink, c.Line(), Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    c.p.setBrush(fill);
    c.p.drawPath(pixels);
}

// Signs sit in the upper left, on a 16-unit square; s scales them.
void SpeechBalloon(TCanvas& c, double x, double y, double s, const QColor& fill) {
    const double f = s / 16;
    const QRect box = c.Box(x + 0.6 * f, y + 1.0 * f, x + 15.6 * f, y + 11.4 * f);
    const double offset = c.Line() % 2 ? 0.5 : 0.0;
    const QPointF tip(std::floor((x + 2.4 * f) * c.k) + offset,
                      std::floor((y + 14.4 * f) * c.k) + offset);
    DrawOutlined(c, BalloonPath(PixelOval(c, box), false, tip), fill);
}

void RedCross(TCanvas& c) {
    QPainterPath cross;
    cross.moveTo(3.5, 3.5);
    cross.lineTo(12.5, 12.5);
    cross.moveTo(12.5, 3.5);
    cross.lineTo(3.5, 12.5);
    c.Stroke(cross, 3.6, Color::Red, Color::RedRim);
}

void Sheet(TCanvas& c, double x0, double y0, double x1, double y1) {
    const QRect r = c.Box(x0, y0, x1, y1);
    c.Framed(r, Color::Ink, Color::Paper, 1);
    const int left = r.left() + 2, right = r.right() - 2;
    for (int y = r.top() + 2; y < r.bottom() - 1; y += 2)
        c.p.fillRect(QRect(QPoint(left, y), QPoint(right, y)), Color::TextLine);
}

void TwoSheets(TCanvas& c) {
    Sheet(c, 4.5, 0, 16, 11.5);
    Sheet(c, 0, 3.5, 12, 16);
}

void CheckMark(TCanvas& c) {
    QPainterPath check;
    check.moveTo(2.8, 8.6);
    check.lineTo(6.6, 12.6);
    check.lineTo(13.6, 3.4);
    c.Stroke(check, 3.8, Color::Green, Color::GreenRim);
}

void QuestionMark(TCanvas& c) {
    QPainterPath hook;
    hook.moveTo(4.2, 5.6);
    hook.cubicTo(4.2, 1.9, 12.2, 1.7, 11.9, 5.6);
    hook.cubicTo(11.6, 8.1, 8.2, 7.8, 8.2, 10.0);
    c.Stroke(hook, 3.2, Color::Blue, Color::BlueRim);
    QPainterPath dot;
    dot.addEllipse(QPointF(8.2, 13.8), 1.9, 1.9);
    c.Shape(dot, Color::BlueRim, Color::Blue, 1);
}

void BentArrow(TCanvas& c, double dx = 0, double dy = 0, double scale = 1) {
    auto u = [&](double x, double y) { return QPointF(dx + x * scale, dy + y * scale); };
    QPainterPath shaft;
    shaft.moveTo(u(12.8, 13.6));
    shaft.lineTo(u(12.8, 9.6));
    shaft.cubicTo(u(12.8, 7.6), u(11.6, 6.6), u(9.6, 6.6));
    shaft.lineTo(u(6.4, 6.6));
    c.Stroke(shaft, 3.2, Color::Cyan, Color::CyanRim);
    QPainterPath head;
    head.moveTo(u(1.4, 6.6));
    head.lineTo(u(7.6, 1.4));
    head.lineTo(u(7.6, 11.8));
    head.closeSubpath();
    c.Shape(head, Color::CyanRim, Color::Cyan, 1);
}

void TrayPicture(TCanvas& c, int index) {
    Computer(c, 16, 1, 31, 12.2);
    Computer(c, 2.5, 16, 18, 26.8);
    Cable(c);
    switch (index) {
        case 0:
            SpeechBalloon(c, 0, 0, 16, Color::Paper);
            break;
        case 1:
            RedCross(c);
            break;
        case 2:
            TwoSheets(c);
            break;
        case 3:
            CheckMark(c);
            break;
        case 4:
            Spark(c, 20.6, 22.5);
            break;
        case 5:
            Spark(c, 24.5, 22.5);
            break;
        case 6:
            Spark(c, 24.5, 18.4);
            break;
        case 7:
            break;
        case 8:
            QuestionMark(c);
            break;
        case 9:
            BentArrow(c);
            break;
    }
}

// ---- Menu pictures -------------------------------------------------------

void EnvelopeBody(TCanvas& c, double x0, double y0, double x1, double y1) {
    const QRect r = c.Box(x0, y0, x1, y1);
    c.Framed(r, Color::Ink, Color::Envelope, 1);
    // The closed flap: a V from the top corners to the middle.
    QPainterPath flap;
    flap.moveTo(x0 + 0.6, y0 + 0.6);
    flap.lineTo((x0 + x1) / 2, y0 + (y1 - y0) * 0.58);
    flap.lineTo(x1 - 0.6, y0 + 0.6);
    c.p.setBrush(Color::EnvelopeShade);
    c.p.setPen(QPen(Color::Ink, 1));
    c.p.drawPath(c.Scaled(flap));
}

void PencilAcross(TCanvas& c, double x0, double y0, double x1, double y1) {
    // Body from the tip (x0, y0) to the end (x1, y1).
    const QLineF body(c.P(x0, y0), c.P(x1, y1));
    const double w = std::max(4.2 * c.k, 3.0);
    const QPointF dir = (body.p2() - body.p1()) / body.length();
    const QPointF normal(-dir.y(), dir.x());
    const QPointF tipEnd = body.p1() + dir * (w * 1.1);
    // Wooden tip and lead.
    QPainterPath tip;
    tip.moveTo(body.p1());
    tip.lineTo(tipEnd + normal * (w / 2));
    tip.lineTo(tipEnd - normal * (w / 2));
    tip.closeSubpath();
    c.p.setPen(QPen(Color::PencilRim, 1));
    c.p.setBrush(QColor(0xf1, 0xd3, 0xa0));
    c.p.drawPath(tip);
    c.p.setPen(Qt::NoPen);
    c.p.setBrush(Color::Ink);
    c.p.drawEllipse(body.p1() + dir * 1.0, std::max(0.9, w * 0.18), std::max(0.9, w * 0.18));
    // Yellow body with a rim.
    QPainterPath shaft;
    shaft.moveTo(tipEnd + normal * (w / 2));
    shaft.lineTo(body.p2() + normal * (w / 2));
    shaft.lineTo(body.p2() - normal * (w / 2));
    shaft.lineTo(tipEnd - normal * (w / 2));
    shaft.closeSubpath();
    c.p.setPen(QPen(Color::PencilRim, 1));
    c.p.setBrush(Color::Pencil);
    c.p.drawPath(shaft);
    // Eraser.
    QPainterPath eraser;
    const QPointF e0 = body.p2() - dir * (w * 0.8);
    eraser.moveTo(e0 + normal * (w / 2));
    eraser.lineTo(body.p2() + normal * (w / 2));
    eraser.lineTo(body.p2() - normal * (w / 2));
    eraser.lineTo(e0 - normal * (w / 2));
    eraser.closeSubpath();
    c.p.setBrush(QColor(0xf0, 0x8c, 0x9a));
    c.p.drawPath(eraser);
}

// A resend arrow: up from the envelope's corner and over to the right.
void CurvedArrow(TCanvas& c) {
    QPainterPath arc;
    arc.moveTo(3.0, 12.0);
    arc.cubicTo(3.0, 5.0, 7.5, 3.6, 11.5, 4.6);
    c.Stroke(arc, 2.8, Color::Green, Color::GreenRim);
    QPainterPath head;
    head.moveTo(17.5, 6.0);
    head.lineTo(10.4, 0.6);
    head.lineTo(10.4, 10.4);
    head.closeSubpath();
    c.Shape(head, Color::GreenRim, Color::Green, 1);
}

void Window(TCanvas& c, double x0, double y0, double x1, double y1) {
    const QRect r = c.Box(x0, y0, x1, y1);
    c.Framed(r, Color::Ink, Color::Paper, 1);
    const int bar = std::max(2, c.X(4.0));
    c.p.fillRect(QRect(r.left() + 1, r.top() + 1, r.width() - 2, bar), Color::Title);
}

void TickedBox(TCanvas& c, double x0, double y0, double x1, double y1) {
    c.Framed(c.Box(x0, y0, x1, y1), Color::Ink, Color::Paper, 1);
    QPainterPath tick;
    const double w = x1 - x0;
    tick.moveTo(x0 + w * 0.2, y0 + w * 0.52);
    tick.lineTo(x0 + w * 0.42, y0 + w * 0.75);
    tick.lineTo(x0 + w * 0.82, y0 + w * 0.22);
    c.Stroke(tick, 2.4, Color::Green, Color::GreenRim);
}

void OpenedEnvelope(TCanvas& c) {
    // Open flap behind the letter.
    QPainterPath flap;
    flap.moveTo(2, 15);
    flap.lineTo(16, 5);
    flap.lineTo(30, 15);
    flap.closeSubpath();
    c.Shape(flap, Color::Ink, Color::EnvelopeShade, 1);
    // The letter, half out.
    const QRect letter = c.Box(7, 3, 25, 21);
    c.Framed(letter, Color::Ink, Color::Paper, 1);
    for (double y = 7; y < 19; y += 3) c.p.fillRect(c.Box(10, y, 22, y + 1), Color::TextLine);
    // The pocket in front.
    QPainterPath pocket;
    pocket.moveTo(2, 15);
    pocket.lineTo(16, 23);
    pocket.lineTo(30, 15);
    pocket.lineTo(30, 29);
    pocket.lineTo(2, 29);
    pocket.closeSubpath();
    c.Shape(pocket, Color::Ink, Color::Envelope, 1);
    QPainterPath folds;
    folds.moveTo(2.5, 28.5);
    folds.lineTo(13, 20.5);
    folds.moveTo(29.5, 28.5);
    folds.lineTo(19, 20.5);
    c.p.setPen(QPen(Color::EnvelopeShade.darker(130), 1));
    c.p.setBrush(Qt::NoBrush);
    c.p.drawPath(c.Scaled(folds));
}

void DoorWithArrow(TCanvas& c) {
    c.Framed(c.Box(13, 1, 30, 31), Color::Ink, Color::WoodDark, 1);
    const QRect panel = c.Box(15, 3, 28, 31);
    QLinearGradient wood(panel.topLeft(), panel.topRight());
    wood.setColorAt(0, Color::Wood.lighter(115));
    wood.setColorAt(1, Color::Wood);
    c.p.fillRect(panel, wood);
    const QPointF knob = c.P(25.2, 17);
    c.p.setPen(Qt::NoPen);
    c.p.setBrush(QColor(0xff, 0xd5, 0x4f));
    c.p.drawEllipse(knob, std::max(1.0, 1.4 * c.k), std::max(1.0, 1.4 * c.k));
    QPainterPath shaft;
    shaft.moveTo(1.8, 16);
    shaft.lineTo(13, 16);
    c.Stroke(shaft, 4.0, Color::Green, Color::GreenRim);
    QPainterPath head;
    head.moveTo(22, 16);
    head.lineTo(12, 7.5);
    head.lineTo(12, 24.5);
    head.closeSubpath();
    c.Shape(head, Color::GreenRim, Color::Green, 1);
}

void Diskette(TCanvas& c, double x0, double y0, double x1, double y1) {
    const QRect r = c.Box(x0, y0, x1, y1);
    c.Framed(r, Color::Ink, Color::Disk, 1);
    const double w = x1 - x0;
    c.p.fillRect(c.Box(x0 + w * 0.25, y0 + 0.8, x1 - w * 0.2, y0 + w * 0.36), Color::Metal);
    c.p.fillRect(c.Box(x0 + w * 0.2, y0 + w * 0.56, x1 - w * 0.2, y1 - 0.8), Color::Paper);
}

void RolledSheet(TCanvas& c) {
    const QRect sheet = c.Box(6, 4, 26, 28);
    c.p.fillRect(sheet, Color::Ink);
    c.p.fillRect(sheet.adjusted(1, 0, -1, 0), Color::Parchment);
    for (double y = 9; y < 24; y += 3)
        c.p.fillRect(c.Box(9, y, 23, y + 1), Color::ParchmentShade.darker(130));
    // The rolls at both ends.
    for (double y : {2.0, 26.0}) {
        QPainterPath roll;
        roll.addRoundedRect(QRectF(3, y, 26, 4.6), 2.3, 2.3);
        QLinearGradient shade(c.P(0, y), c.P(0, y + 4.6));
        shade.setColorAt(0, Color::Parchment);
        shade.setColorAt(1, Color::ParchmentShade);
        c.Shape(roll, Color::Ink, shade, 1);
    }
}

void StackedWindows(TCanvas& c) {
    Window(c, 2, 2, 20, 16);
    Window(c, 7, 8, 25, 22);
    Window(c, 12, 14, 30, 29);
}

void MenuPicture(TCanvas& c, int index) {
    switch (index) {
        case 0:
            EnvelopeBody(c, 1, 7, 27, 25);
            PencilAcross(c, 14, 27, 30, 9);
            break;
        case 1:
            Window(c, 1, 3, 31, 29);
            TickedBox(c, 9, 12, 23, 26);
            break;
        case 2:
            OpenedEnvelope(c);
            break;
        case 3:
            DoorWithArrow(c);
            break;
        case 4: {
            SpeechBalloon(c, 0, 1, 32, Color::Paper);
            QPainter& p = c.p;
            p.setPen(Qt::NoPen);
            p.setBrush(Color::Ink);
            for (double x : {9.5, 16.0, 22.5})
                p.drawEllipse(c.P(x, 12), std::max(1.0, 1.6 * c.k), std::max(1.0, 1.6 * c.k));
            break;
        }
        case 5:
            StackedWindows(c);
            break;
        case 6:
            EnvelopeBody(c, 1, 3, 27, 21);
            Diskette(c, 15, 14, 31, 30);
            break;
        case 7:
            RolledSheet(c);
            break;
        case 8:
            EnvelopeBody(c, 1, 9, 27, 27);
            PencilAcross(c, 14, 29, 30, 11);
            CurvedArrow(c);
            break;
    }
}

void TwoBalloons(TCanvas& c) {
    SpeechBalloon(c, 0, 0, 22, Color::Paper);
    // The answer, its tail to the lower right.
    const QRectF box = PixelOval(c, c.Box(10.5, 12, 31.5, 26.5));
    const QPointF tip(std::floor(30.0 * c.k) + 0.5, std::floor(31.4 * c.k) - 0.5);
    DrawOutlined(c, BalloonPath(box, true, tip), Color::Balloon2);
}

void WindowPicture(TCanvas& c, int index) {
    switch (index) {
        case 0:
            MenuPicture(c, 0);
            break;
        case 1:
            MenuPicture(c, 2);
            break;
        case 2:
            TwoBalloons(c);
            break;
        case 3:
            TrayPicture(c, 0);
            break;
    }
}

int CountFor(char kind) {
    switch (kind) {
        case 't':
            return TrayImageListCount;
        case 'm':
            return MenuImageCount;
        case 'w':
            return 4;
    }
    return 0;
}

QImage Grayed(QImage image) {
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = line[x];
            const int a = qAlpha(c) * 45 / 100;
            // Premultiplied: scale the grey with the new alpha.
            const int g = qGray(c) * 45 / 100;
            line[x] = qRgba(g, g, g, a);
        }
    }
    return image;
}

// Draws the picture at whatever size is asked for, so that an icon shown in
// a slot of an unusual size (a 22-pixel panel gives 20x20 slots) is drawn for
// it instead of being scaled down from a neighbour.
class TPictureEngine : public QIconEngine {
public:
    TPictureEngine(char Kind, int Index) : FKind(Kind), FIndex(Index) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const int side = std::min(rect.width(), rect.height());
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QPixmap pm = scaledPixmap(QSize(side, side), mode, state, scale);
        painter->drawPixmap(QRect(rect.x() + (rect.width() - side) / 2,
                                  rect.y() + (rect.height() - side) / 2, side, side),
                            pm);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return side > 0 ? QSize(side, side) : QSize();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        if (side <= 0) return {};
        const bool gray = mode == QIcon::Disabled;
        QPixmap& cached = FCache[{side, gray}];
        if (cached.isNull()) {
            const QImage image = DrawImage(FKind, FIndex, side);
            cached = QPixmap::fromImage(gray ? Grayed(image) : image);
        }
        return cached;
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pm = pixmap(size * scale, mode, state);
        pm.setDevicePixelRatio(scale);
        return pm;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int size : ImageSizes) sizes.append(QSize(size, size));
        if (FKind == 'w') sizes << QSize(48, 48) << QSize(64, 64);
        return sizes;
    }

    QIconEngine* clone() const override { return new TPictureEngine(FKind, FIndex); }
    QString key() const override { return QStringLiteral("wexlo-picture"); }
    bool isNull() override { return false; }

private:
    const char FKind;
    const int FIndex;
    std::map<std::pair<int, bool>, QPixmap> FCache;
};

// Icons live as long as the application: kept in an object it owns, so no
// pixmap outlives the toolkit.
class TIconCache : public QObject {
public:
    using QObject::QObject;
    std::map<std::pair<char, int>, QIcon> icons;
};

QIcon Cached(char kind, int index) {
    if (index < 0 || index >= CountFor(kind)) return {};
    static TIconCache* cache = nullptr;
    if (!cache) {
        if (!QCoreApplication::instance()) return {};
        cache = new TIconCache(QCoreApplication::instance());
        QObject::connect(cache, &QObject::destroyed, [] { cache = nullptr; });
    }
    QIcon& icon = cache->icons[{kind, index}];
    if (icon.isNull()) icon = QIcon(new TPictureEngine(kind, index));
    return icon;
}

}  // namespace

QImage DrawImage(char Kind, int Index, int Size) {
    QImage image(Size, Size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (Index < 0 || Index >= CountFor(Kind)) return image;
    TCanvas canvas(image);
    switch (Kind) {
        case 't':
            TrayPicture(canvas, Index);
            break;
        case 'm':
            MenuPicture(canvas, Index);
            break;
        case 'w':
            WindowPicture(canvas, Index);
            break;
    }
    return image;
}

QIcon TrayImage(int Index) {
    return Cached('t', Index);
}

QIcon MenuImage(int Index) {
    return Cached('m', Index);
}

QIcon WindowIcon(const QString& Name) {
    static const char* const names[] = {"Z_ICN_SEND", "Z_ICN_MESSAGE", "Z_ICN_TALK", "MAINICON"};
    for (int i = 0; i < 4; ++i)
        if (Name == QLatin1String(names[i])) return Cached('w', i);
    return {};
}
