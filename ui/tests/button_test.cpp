#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "ui/icons.h"
#include "ui/tests/ui_test.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

using test::near;
using test::ReducedMotion;
using test::render;

// The body gradient runs from its start colour at (0, 0) to its end at (w, h); on a very wide button the
// pixels just inside the top-left corner show the start colour.
QColor gradientStart(bool primary, float glow) {
    QPushButton b("Jouer");
    Theme::button(&b, primary);
    b.setProperty("ui2-hover", glow);
    b.resize(2000, 40);
    return render(b).pixelColor(7, 20);
}

TEST(ButtonPainter, StartColourBlendsWithTheGlowTruncatingEachChannel) {
    EXPECT_EQ(gradientStart(true, 0), QColor(0x65, 0x51, 0xCC));
    EXPECT_EQ(gradientStart(true, 1), QColor(0x7D, 0x6A, 0xEF));
    EXPECT_EQ(gradientStart(false, 0), QColor(0x19, 0x25, 0x3C));
    EXPECT_EQ(gradientStart(false, 1), QColor(0x2C, 0x41, 0x60));
    // 0x51 + (0x6A - 0x51) * 0.3 = 88.5 and 0xCC + (0xEF - 0xCC) * 0.3 = 214.5: truncated, not rounded.
    EXPECT_EQ(gradientStart(true, 0.3f), QColor(108, 88, 214));
}

TEST(ButtonPainter, PressedButtonIsDarkened) {
    QPushButton b("Jouer");
    Theme::button(&b, true);
    b.resize(2000, 40);
    b.setDown(true);
    EXPECT_EQ(render(b).pixelColor(7, 20), QColor(int(0x65 * 0.7), int(0x51 * 0.7), int(0xCC * 0.7)));
}

TEST(ButtonPainter, DisabledButtonIsDrawnAt45PercentTextIncluded) {
    QPushButton b("Jouer");
    Theme::button(&b, true);
    b.resize(200, 40);
    b.setEnabled(false);
    const QImage image = render(b);
    EXPECT_NEAR(image.pixelColor(7, 20).alpha(), 115, 1);
    EXPECT_TRUE(near(image.pixelColor(7, 20), QColor(0x65, 0x51, 0xCC, 115), 3));
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            opaque = std::max(opaque, image.pixelColor(x, y).alpha());
    // Every layer (body, outline, text) is drawn at 45 %: two of them over each other reach
    // 1 - 0.55 * 0.55 = 70 %, never more; the text at full opacity would make pixels opaque.
    EXPECT_LE(opaque, 179);
}

TEST(ButtonLook, MarginsDependOnTextAndCompactness) {
    QPushButton text("Paramètres"), compact("Paramètres"), icon;
    compact.setProperty("compact", true);
    icon.setIcon(GearIcon(19, Qt::white).icon());
    Theme::button(&text, false);
    Theme::button(&compact, false);
    Theme::button(&icon, false);
    EXPECT_EQ(text.contentsMargins(), QMargins(18, 12, 18, 12));
    EXPECT_EQ(compact.contentsMargins(), QMargins(10, 12, 10, 12));
    EXPECT_EQ(icon.contentsMargins(), QMargins(8, 12, 8, 12));
    EXPECT_EQ(text.sizeHint().width() - compact.sizeHint().width(), 16);
    EXPECT_EQ(text.sizeHint().height(), compact.sizeHint().height());
    EXPECT_EQ(text.font().pixelSize(), 13);
    EXPECT_TRUE(text.font().bold());
    EXPECT_EQ(text.cursor().shape(), Qt::PointingHandCursor);
}

class Glow : public testing::Test {
protected:
    void SetUp() override {
        button.resize(120, 40);
        button.show();
        Theme::button(&button, true);
        timer = qobject_cast<QTimer*>(button.property("ui2-timer").value<QObject*>());
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->interval(), 16);
        EXPECT_FALSE(timer->isActive());
    }

    // The pointer enters the button the way QApplication delivers it, then the queued state change runs
    // (without letting the real timer tick).
    void enter() {
        button.setAttribute(Qt::WA_UnderMouse, true);
        QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&button, &event);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }

    float glow() const { return button.property("ui2-hover").toFloat(); }

    QPushButton button{"Jouer"};
    QTimer* timer = nullptr;
};

TEST_F(Glow, RisesBy24PercentOfTheRemainingDistanceAndSettles) {
    enter();
    EXPECT_TRUE(timer->isActive());
    Theme::glowStep(&button);
    EXPECT_FLOAT_EQ(glow(), 0.24f);
    Theme::glowStep(&button);
    EXPECT_FLOAT_EQ(glow(), 0.4224f);
    for (int i = 2; i < 16; ++i)
        Theme::glowStep(&button);
    EXPECT_LT(glow(), 0.99f);  // 0.76^16 = 0.0124 away
    EXPECT_TRUE(timer->isActive());
    Theme::glowStep(&button);  // 0.76^17 < 0.01: snaps to the target and stops
    EXPECT_EQ(glow(), 1.0f);
    EXPECT_FALSE(timer->isActive());

    button.setAttribute(Qt::WA_UnderMouse, false);
    Theme::glowStep(&button);
    EXPECT_FLOAT_EQ(glow(), 0.76f);
}

TEST_F(Glow, JumpsToItsTargetUnderReducedMotion) {
    ReducedMotion reduced(true);
    enter();
    Theme::glowStep(&button);
    EXPECT_EQ(glow(), 1.0f);
    EXPECT_FALSE(timer->isActive());
}

TEST_F(Glow, ApplyingTheLookAgainKeepsTheSameTimer) {
    Theme::button(&button, false);
    EXPECT_EQ(button.property("ui2-timer").value<QObject*>(), timer);
}

class Sounds : public testing::Test {
protected:
    void SetUp() override {
        Theme::setSoundPlayer([this](bool hover) { played.push_back(hover); });
        button.resize(120, 40);
        button.show();
    }
    void TearDown() override { Theme::setSoundPlayer(nullptr); }

    void enter() {
        QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&button, &event);
    }
    void mouse(QEvent::Type type) {
        QMouseEvent event(type, QPointF(60, 20), QPointF(60, 20), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&button, &event);
    }

    QPushButton button{"Jouer"};
    std::vector<bool> played;
};

TEST_F(Sounds, HoverAndPressPlayOnceEvenWhenTheLookIsAppliedTwice) {
    Theme::button(&button, true);
    Theme::button(&button, true);
    enter();
    mouse(QEvent::MouseButtonPress);
    mouse(QEvent::MouseButtonRelease);
    mouse(QEvent::MouseButtonPress);
    EXPECT_EQ(played, (std::vector<bool>{true, false, false}));
}

TEST_F(Sounds, ClicksWithoutMouseOrKeyReleasePlayThePressEachTime) {
    Theme::button(&button, true);
    button.click();
    button.animateClick();  // what a mnemonic does: pressed now, released by a timer
    while (button.isDown())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    button.click();
    EXPECT_EQ(std::count(played.begin(), played.end(), false), 3);  // (the pointer may enter meanwhile)
}

TEST_F(Sounds, DisabledButtonPlaysNothing) {
    Theme::button(&button, false);
    button.setEnabled(false);
    enter();
    mouse(QEvent::MouseButtonPress);
    mouse(QEvent::MouseButtonRelease);
    EXPECT_TRUE(played.empty());
}

TEST_F(Sounds, AFailingPlayerNeverBreaksTheButton) {
    Theme::setSoundPlayer([](bool) { throw std::runtime_error("no audio line"); });
    Theme::button(&button, false);
    enter();
    mouse(QEvent::MouseButtonPress);
    EXPECT_TRUE(button.isDown());
}

}  // namespace
}  // namespace orlex::ui
