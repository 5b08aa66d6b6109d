#include <gtest/gtest.h>

#include <cstdlib>

#include <QPainter>
#include <QPixmap>

#include "ui/TrayImages.h"

namespace {

int OpaquePixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) n += qAlpha(image.pixel(x, y)) > 0;
    return n;
}

void ExpectEverySize(const QIcon& icon, const std::string& what) {
    ASSERT_FALSE(icon.isNull()) << what;
    const QList<QSize> sizes = icon.availableSizes();
    for (int size : ImageSizes) {
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << what << " at " << size;
        const QImage image = icon.pixmap(size, size).toImage();
        EXPECT_EQ(image.size(), QSize(size, size)) << what;
        // A picture, not an empty or a filled square.
        const int opaque = OpaquePixels(image);
        EXPECT_GT(opaque, size * size / 8) << what << " at " << size;
        EXPECT_LT(opaque, size * size) << what << " at " << size;
    }
}

TEST(TrayImages, EveryImageExistsAtEverySize) {
    for (int i = 0; i < TrayImageListCount; ++i)
        ExpectEverySize(TrayImage(i), "tray " + std::to_string(i));
    for (int i = 0; i < MenuImageCount; ++i)
        ExpectEverySize(MenuImage(i), "menu " + std::to_string(i));
    for (const char* name : {"Z_ICN_SEND", "Z_ICN_MESSAGE", "Z_ICN_TALK", "MAINICON"})
        ExpectEverySize(WindowIcon(name), name);
}

TEST(TrayImages, UnknownImagesAreNull) {
    EXPECT_TRUE(TrayImage(-1).isNull());
    EXPECT_TRUE(TrayImage(TrayImageListCount).isNull());
    EXPECT_TRUE(MenuImage(MenuImageCount).isNull());
    EXPECT_TRUE(WindowIcon("Z_ICN_NONE").isNull());
    EXPECT_EQ(OpaquePixels(DrawImage('w', 4, 16)), 0);
}

// Pixels where two pictures differ by more than anti-aliasing does.
int ClearlyDifferentPixels(const QImage& a, const QImage& b) {
    int n = 0;
    for (int i = 0; i < a.width() * a.height(); ++i) {
        const QRgb p = a.pixel(i % a.width(), i / a.width()),
                   q = b.pixel(i % a.width(), i / a.width());
        n += std::abs(qGray(p) - qGray(q)) + std::abs(qAlpha(p) - qAlpha(q)) > 96;
    }
    return n;
}

// Different meanings must never look alike, at any size: they differ in at
// least a spark's worth of pixels.
TEST(TrayImages, ImagesDifferWhereMeaningsDiffer) {
    for (int size : ImageSizes) {
        for (char kind : {'t', 'm', 'w'}) {
            const int count = kind == 't' ? TrayImageListCount : kind == 'm' ? MenuImageCount : 4;
            for (int a = 0; a < count; ++a)
                for (int b = a + 1; b < count; ++b)
                    EXPECT_GE(
                        ClearlyDifferentPixels(DrawImage(kind, a, size), DrawImage(kind, b, size)),
                        size / 2)
                        << kind << a << " vs " << kind << b << " at " << size;
        }
    }
}

// The tray images are one picture with a changing sign: the upper computer
// is the same in all ten, so the icon does not jump while it animates. A
// sign takes the balloon's place, in the upper left quarter, which the
// connecting steps (4 to 7) leave empty.
TEST(TrayImages, TrayImagesShareTheComputers) {
    for (int size : ImageSizes) {
        const QRect upper(size / 2 + 1, 0, size / 2 - 1, size * 3 / 8);
        const QRect sign(0, 0, size / 2, size / 2);
        const QImage first = DrawImage('t', 0, size).copy(upper);
        for (int i = 1; i < TrayImageListCount; ++i)
            EXPECT_EQ(DrawImage('t', i, size).copy(upper), first) << i << " at " << size;
        for (int i = 4; i <= 7; ++i)
            EXPECT_EQ(OpaquePixels(DrawImage('t', i, size).copy(sign)), 0) << i << " at " << size;
    }
}

// A 22-pixel panel gives 22x20 slots: the picture is drawn for 20, not
// scaled down from 22.
TEST(TrayImages, DrawnForTheSlotTheyAreShownIn) {
    const QIcon icon = TrayImage(0);
    EXPECT_EQ(icon.actualSize(QSize(22, 20)), QSize(20, 20));
    EXPECT_EQ(icon.pixmap(QSize(22, 20)).toImage(), DrawImage('t', 0, 20));

    QImage slot(22, 20, QImage::Format_ARGB32_Premultiplied);
    slot.fill(Qt::transparent);
    {
        QPainter painter(&slot);
        icon.paint(&painter, slot.rect());
    }
    EXPECT_EQ(slot.copy(1, 0, 20, 20), DrawImage('t', 0, 20));

    // Greyed for disabled menu items, with the same outline.
    const QImage disabled = MenuImage(3).pixmap(QSize(16, 16), QIcon::Disabled).toImage();
    EXPECT_NE(disabled, DrawImage('m', 3, 16));
    EXPECT_EQ(OpaquePixels(disabled), OpaquePixels(DrawImage('m', 3, 16)));
}

TEST(TrayImages, IconsAreMadeOnceAndShared) {
    EXPECT_EQ(TrayImage(3).cacheKey(), TrayImage(3).cacheKey());
    EXPECT_EQ(DrawImage('m', 5, 22), DrawImage('m', 5, 22));
}

}  // namespace
