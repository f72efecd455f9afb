#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

namespace orlex::ui {

// The animated backdrop: a night gradient with two halos, three slowly swaying orbits and 55 drifting
// particles. Its clock starts at construction; its 33 ms repaint timer runs only while the panel is shown,
// and a tick repaints only when reduced motion is off. Subclasses paint over it (call
// Cosmos::paintEvent first). GUI thread only.
class Cosmos : public QWidget {
public:
    explicit Cosmos(QWidget* parent = nullptr);

    // Seconds since construction, or 0 under reduced motion.
    double time() const;

    // The backdrop of a w x h panel at animation time t (seconds). Safe for w or h of 0.
    static void paintBackdrop(QPainter& painter, int w, int h, double t);

    // The repaint timer (exposed for tests and subclasses that pace other animations on it).
    const QTimer& frameTimer() const { return timer_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QElapsedTimer clock_;
    QTimer timer_;
};

// A transparent panel that paints a rounded translucent card behind its children: shadow, body gradient,
// outline (brighter when the dynamic property "selected" is true) and a top light. Inner margins 24, 26,
// 24, 26 (top, left, bottom, right) unless replaced with setContentsMargins.
class Surface : public QWidget {
public:
    explicit Surface(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};

}  // namespace orlex::ui
