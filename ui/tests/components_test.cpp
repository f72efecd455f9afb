#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/components.h"
#include "ui/icons.h"
#include "ui/tests/ui_test.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

using test::near;
using test::ReducedMotion;
using test::render;

// A colour of the given alpha laid over an opaque background.
QColor over(QColor background, QColor colour, int alpha) {
    const double k = alpha / 255.0;
    return QColor(int(colour.red() * k + background.red() * (1 - k)),
                  int(colour.green() * k + background.green() * (1 - k)),
                  int(colour.blue() * k + background.blue() * (1 - k)));
}

TEST(CosmosBackdrop, ShowsItsStartPictureUnderReducedMotion) {
    ReducedMotion reduced(true);
    Cosmos cosmos;
    cosmos.resize(400, 300);
    EXPECT_EQ(cosmos.time(), 0.0);
    const QImage image = render(cosmos);
    // Particle 0: at (0, 0), 3 px, CYAN with alpha 40 + trunc(35 * (1 + sin 0)) = 75.
    EXPECT_TRUE(near(image.pixelColor(1, 1), over(image.pixelColor(1, 8), Theme::CYAN, 75), 4));
    // Particle 7: x = 1255.59 mod 400, y = 641.9 mod 300, 3 px, VIOLET with alpha 40 + trunc(35 * (1 + sin
    // 7)).
    const int alpha = 40 + int(35 * (1 + std::sin(7.0)));
    EXPECT_EQ(alpha, 97);
    EXPECT_TRUE(near(image.pixelColor(57, 43), over(image.pixelColor(57, 50), Theme::VIOLET, alpha), 4));
    // Particle 1 is 1.5 px VIOLET at (179.37, 91.7).
    EXPECT_GT(image.pixelColor(179, 92).red(), image.pixelColor(179, 97).red());
    EXPECT_EQ(image, render(cosmos));  // no animation while reduced
}

TEST(CosmosBackdrop, ParticlesDriftDownwardsWithTime) {
    QImage start(400, 300, QImage::Format_ARGB32), later(400, 300, QImage::Format_ARGB32);
    {
        QPainter g(&start);
        Cosmos::paintBackdrop(g, 400, 300, 0);
    }
    {
        QPainter g(&later);
        Cosmos::paintBackdrop(g, 400, 300, 10 * M_PI / 0.7);  // same particle alphas as t = 0 (sin period)
    }
    // Particle 7 moves (2 + 7 mod 3) x t = 3 t px down; it has left its start place.
    EXPECT_NE(start.pixelColor(57, 43), later.pixelColor(57, 43));
}

TEST(CosmosBackdrop, PaintsAtZeroSizeWithoutError) {
    QImage image(10, 50, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    Cosmos::paintBackdrop(g, 0, 50, 3.5);
    Cosmos::paintBackdrop(g, 10, 0, 3.5);
    Cosmos::paintBackdrop(g, 0, 0, 3.5);
    g.end();
    Cosmos cosmos;
    cosmos.resize(0, 0);
    cosmos.repaint();
    SUCCEED();
}

TEST(CosmosBackdrop, FrameTimerRunsOnlyWhileShown) {
    Cosmos cosmos;
    EXPECT_EQ(cosmos.frameTimer().interval(), 33);
    EXPECT_FALSE(cosmos.frameTimer().isActive());
    cosmos.show();
    EXPECT_TRUE(cosmos.frameTimer().isActive());
    cosmos.hide();
    EXPECT_FALSE(cosmos.frameTimer().isActive());
}

TEST(SurfaceCard, OutlineBrightensWhenSelected) {
    auto leftEdge = [](bool selected) {
        Surface surface;
        surface.setProperty("selected", selected);
        surface.resize(200, 100);
        QImage image(200, 100, QImage::Format_ARGB32);
        image.fill(Qt::black);
        surface.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return std::pair{image.pixelColor(0, 50), image.pixelColor(4, 50)};
    };
    // The 1 px outline on x = 0 covers half of column 0, over the body.
    const auto [selected, selectedBody] = leftEdge(true);
    EXPECT_TRUE(near(selected, over(selectedBody, QColor(0x69, 0xD1, 0xF6), 105), 8));
    const auto [plain, plainBody] = leftEdge(false);
    EXPECT_TRUE(near(plain, over(plainBody, QColor(0x8D, 0xB3, 0xE2), 27), 8));
    EXPECT_EQ(Surface().contentsMargins(), QMargins(26, 24, 26, 24));
}

TEST(SurfaceCard, TopLightRunsFromVioletToCyan) {
    Surface surface;
    surface.resize(400, 100);
    QImage image(400, 100, QImage::Format_ARGB32);
    image.fill(Qt::black);
    surface.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_GT(image.pixelColor(30, 0).red(), image.pixelColor(30, 0).green());
    EXPECT_GT(image.pixelColor(365, 0).green(), image.pixelColor(365, 0).red());
}

// On a screen scaled to 150 % (its own run: QT_SCALE_FACTOR=1.5), a card repainted in small places at
// odd positions, as the backdrop's frames repaint it, is the card painted whole: the pieces meet.
TEST(FractionalScale, ACardRepaintedInSmallPlacesIsTheCardPaintedWhole) {
    if (qEnvironmentVariable("QT_SCALE_FACTOR") != "1.5")
        GTEST_SKIP() << "runs on a screen scaled to 150 %";
    ASSERT_EQ(qApp->devicePixelRatio(), 1.5);
    Surface surface;
    surface.resize(371, 161);
    const QImage whole = surface.grab().toImage();
    QPixmap pieces(whole.size());
    pieces.setDevicePixelRatio(1.5);
    pieces.fill(Qt::transparent);
    for (int y = 0; y < 161; y += 7)
        for (int x = 0; x < 371; x += 7)
            surface.render(&pieces, QPoint(x, y), QRegion(x, y, 7, 7));
    const QImage pieced = pieces.toImage().convertToFormat(whole.format());
    int differing = 0;
    for (int y = 0; y < whole.height(); ++y)
        for (int x = 0; x < whole.width(); ++x)
            differing += whole.pixel(x, y) != pieced.pixel(x, y);
    EXPECT_EQ(differing, 0);
}

TEST(GearIcon, HasTheDescribedRadiiAndHub) {
    const int size = 200;  // radii 94 and 72, hub diameter 64
    GearIcon gear(size, Qt::white);
    EXPECT_EQ(gear.width(), size);
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    gear.paint(g, 0, 0);
    g.end();
    auto at = [&](double angle, double radius) {
        return image.pixelColor(int(100 + radius * std::cos(angle)), int(100 + radius * std::sin(angle)));
    };
    const double tooth = -M_PI / 2, gap = -M_PI / 2 + M_PI / 12;
    EXPECT_EQ(at(tooth, 89), QColor(Qt::white));
    EXPECT_EQ(at(tooth, 97).alpha(), 0);
    EXPECT_EQ(at(gap, 68), QColor(Qt::white));
    EXPECT_EQ(at(gap, 76).alpha(), 0);
    EXPECT_EQ(at(0, 28), QColor(0x14, 0x23, 0x2F));
    EXPECT_EQ(at(0, 36), QColor(Qt::white));
}

TEST(GearIcon, KeepsItsSizeOnAScreenScaledTo200Percent) {
    const QPixmap pixmap = GearIcon(19, Qt::white).icon().pixmap(QSize(19, 19), 2.0);
    const QImage image = pixmap.toImage();
    int left = image.width(), right = -1;
    for (int x = 0; x < image.width(); ++x)
        if (image.pixelColor(x, image.height() / 2).alpha() > 128) {
            left = std::min(left, x);
            right = std::max(right, x);
        }
    EXPECT_GE(right - left + 1, 32) << "the gear spans " << right - left + 1 << " of " << image.width()
                                    << " device pixels";
}

TEST(WindowIcon, CloseIsACrossAndMinimiseALowLine) {
    auto paint = [](bool close) {
        QImage image(14, 14, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter g(&image);
        WindowIcon(close).paint(g, 0, 0);
        return image;
    };
    const QImage close = paint(true), minimise = paint(false);
    EXPECT_GT(close.pixelColor(7, 7).alpha(), 200);
    EXPECT_EQ(minimise.pixelColor(7, 7).alpha(), 0);
    EXPECT_GT(minimise.pixelColor(7, 10).alpha(), 100);
    EXPECT_TRUE(
        near(minimise.pixelColor(7, 10), QColor(0xE0, 0xD8, 0xF0, minimise.pixelColor(7, 10).alpha()), 2));
}

}  // namespace
}  // namespace orlex::ui
