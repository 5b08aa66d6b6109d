// The splash window: its balloon shape and drawing, its stacking, and its
// going by itself.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>

#include "tests/support/TestSupport.h"
#include "ui/Splash.h"

namespace {

struct Spot {
    QPoint at;
    bool yes;
    const char* what;
};

TEST(Splash, WindowIsExactlyTheBalloon) {
    const Spot inside[] = {
        {{0, 0}, false, "top left corner"},
        {{316, 0}, false, "top right corner"},
        {{0, 197}, false, "bottom left corner"},
        {{316, 197}, false, "bottom right corner"},
        {{301, 151}, false, "past the ellipse's box"},
        {{150, 75}, true, "ellipse centre"},
        {{1, 75}, true, "ellipse's left end"},
        {{299, 75}, true, "ellipse's right end"},
        {{150, 1}, true, "ellipse's top"},
        {{193, 160}, true, "middle of the tail"},
        {{218, 179}, true, "near the tail's tip"},
        {{170, 175}, false, "left of the tail"},
        {{240, 160}, false, "right of the tail"},
        {{225, 190}, false, "below the tail's tip"},
    };
    TfSplash splash;
    ASSERT_EQ(splash.mask(), TfSplash::BalloonRegion());
    EXPECT_EQ(splash.size(), QSize(TfSplash::ClientWidth, TfSplash::ClientHeight));
    for (const Spot& p : inside) EXPECT_EQ(splash.mask().contains(p.at), p.yes) << p.what;
}

TEST(Splash, BalloonIsWhiteWithABlackOutlineThatTheTailOpens) {
    const QImage image = TfSplash::DrawBackground();
    const Spot black[] = {
        {{150, 75}, false, "inside"},
        {{150, 1}, true, "outline at the top"},
        {{120, 148}, true, "outline beside the tail"},
        {{180, 148}, false, "where the tail joins"},
        {{193, 160}, false, "inside the tail"},
        {{187, 167}, true, "the tail's left edge"},
    };
    for (const Spot& p : black) EXPECT_EQ(qGray(image.pixel(p.at)) < 128, p.yes) << p.what;

    // Where the window ends, left and right in every row, the outline shows:
    // the shape is not wider than the balloon as drawn, nor narrower.
    for (const QRect& r : TfSplash::BalloonRegion())
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x : {r.left(), r.right()})
                EXPECT_LT(qGray(image.pixel(x, y)), 128) << "window's edge at " << x << ", " << y;
}

// The logo's name, in blue right of the icon, is whole and big enough to read.
TEST(Splash, LogoNameIsReadable) {
    const QImage logo = TfSplash::DrawLogo();
    QRect name;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 70; x < logo.width(); ++x)
            if (qBlue(logo.pixel(x, y)) > 110 && qRed(logo.pixel(x, y)) < 80)
                name |= QRect(x, y, 1, 1);
    EXPECT_GE(name.height(), 20);
    EXPECT_LT(name.right(), logo.width() - 1) << "cut off at the edge";
}

TEST(Splash, StaysOnTopWithoutTaskbarEntryIgnoresClicksAndGoesAfterTwoSeconds) {
    QPointer<TfSplash> splash = new TfSplash;
    EXPECT_EQ(splash->windowType(), Qt::SplashScreen);
    EXPECT_TRUE(splash->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(splash->windowFlags().testFlag(Qt::FramelessWindowHint));

    // Measured from before show(): the splash's own clock starts inside it.
    QElapsedTimer shown;
    shown.start();
    splash->show();
    QTest::mouseClick(splash, Qt::LeftButton, {}, QPoint(150, 75));
    QTest::keyClick(splash, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(splash && splash->isVisible());

    ASSERT_TRUE(testsupport::WaitUntil([&] { return splash.isNull(); }, 20000));
    EXPECT_GE(shown.elapsed(), TfSplash::Lifetime);
}

}  // namespace
