#include "ui/window_chrome.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <memory>

#include "ui/tests/ui_test.h"

namespace orlex::ui {
namespace {

// A window with the bar on top, as the launcher's windows place it.
struct BarWindow {
    int minimised = 0, closed = 0;
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    QWidget* bar = nullptr;

    explicit BarWindow(const QString& title) {
        window->setWindowFlag(Qt::FramelessWindowHint);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        bar = windowBar(
            window.get(), [this] { ++minimised; }, [this] { ++closed; }, title);
        layout->addWidget(bar);
        layout->addStretch(1);
        window->resize(600, 200);
    }
    QList<QAbstractButton*> controls() const { return bar->findChildren<QAbstractButton*>(); }
};

TEST(WindowBar, TitleAtTheLeftAndTheTwoControlsAtTheRightInOrder) {
    BarWindow w("PARAMÈTRES");
    w.window->show();
    QApplication::processEvents();

    EXPECT_EQ(w.bar->geometry(), QRect(0, 0, 600, 38));
    const auto* title = w.bar->findChild<QLabel*>();
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "PARAMÈTRES");
    EXPECT_EQ(title->x(), 12);
    EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(0xA3, 0x8C, 0xCA));

    const QList<QAbstractButton*> controls = w.controls();
    ASSERT_EQ(controls.size(), 2);
    EXPECT_EQ(controls[0]->toolTip(), "Réduire");
    EXPECT_EQ(controls[1]->toolTip(), "Fermer");
    EXPECT_EQ(controls[0]->geometry(), QRect(600 - 4 - 84, 1, 42, 36));
    EXPECT_EQ(controls[1]->geometry(), QRect(600 - 4 - 42, 1, 42, 36));
    // The bar's own colour shows around the glyphs: controls paint no background.
    const QImage picture = test::render(*w.bar);
    EXPECT_EQ(picture.pixelColor(300, 19), QColor(0x08, 0x07, 0x1C));
    EXPECT_EQ(picture.pixelColor(controls[1]->x() + 3, 19), QColor(0x08, 0x07, 0x1C));

    controls[0]->click();
    controls[1]->click();
    EXPECT_EQ(w.minimised, 1);
    EXPECT_EQ(w.closed, 1);
}

TEST(WindowBar, DraggingTheBarMovesTheWindowWithThePointer) {
    BarWindow w("");
    w.window->move(100, 100);
    w.window->show();
    QApplication::processEvents();
    const QPoint start = w.window->pos();

    const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, at, w.bar->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(w.bar, &event);
    };
    send(QEvent::MouseButtonPress, {50, 10}, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, {80, 25}, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {80, 25}, Qt::LeftButton, Qt::NoButton);

    EXPECT_EQ(w.window->pos(), start + QPoint(30, 15));
}

TEST(AppIcon, IsTheArchivePictureWithATransparentMatte) {
    const std::optional<QImage> icon = appIcon();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size(), QSize(64, 64));
    EXPECT_EQ(icon->pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(icon->pixelColor(32, 32).alpha(), 255);
}

}  // namespace
}  // namespace orlex::ui
