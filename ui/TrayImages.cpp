#include "ui/TrayImages.h"

#include <algorithm>
#include <map>
#include <utility>

#include <QCoreApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace {

// The pictures are SVG files on a 32-unit grid, compiled in under :/images
// (ui/images, and the program's picture, which is also its installed icon).
// Every tray picture is the program's picture with the state's sign in place
// of the balloon, in the upper left quarter; the connecting step between two
// sparks shows no sign.
const char* const TraySigns[] = {nullptr,
                                 "tray-alerts-off",
                                 "tray-unread",
                                 "tray-sent",
                                 "tray-connecting-1",
                                 "tray-connecting-2",
                                 "tray-connecting-3",
                                 nullptr,
                                 "tray-recipient-alerts-off",
                                 "tray-auto-response"};
const char* const MenuPictures[] = {"menu-send",  "menu-options", "menu-received",
                                    "menu-exit",  "menu-talk",    "menu-close-windows",
                                    "menu-saved", "menu-log",     "menu-resend"};
const char* const WindowPictures[] = {"menu-send", "menu-received", "window-talk", "wexlo"};
static_assert(std::size(TraySigns) == TrayImageListCount);
static_assert(std::size(MenuPictures) == MenuImageCount);

void Render(QPainter& Painter, const char* Name, int Size) {
    QSvgRenderer svg(QStringLiteral(":/images/%1.svg").arg(QLatin1String(Name)));
    svg.render(&Painter, QRectF(0, 0, Size, Size));
}

int CountFor(char kind) {
    switch (kind) {
        case 't':
            return TrayImageListCount;
        case 'm':
            return MenuImageCount;
        case 'w':
            return static_cast<int>(std::size(WindowPictures));
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
    QPainter painter(&image);
    switch (Kind) {
        case 't':
            Render(painter, "wexlo", Size);
            if (Index > 0) {
                painter.setRenderHint(QPainter::Antialiasing);
                painter.setCompositionMode(QPainter::CompositionMode_Clear);
                painter.fillRect(QRectF(0, 0, Size / 2.0, Size / 2.0), Qt::transparent);
                painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
                if (TraySigns[Index]) Render(painter, TraySigns[Index], Size);
            }
            break;
        case 'm':
            Render(painter, MenuPictures[Index], Size);
            break;
        case 'w':
            Render(painter, WindowPictures[Index], Size);
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
