#pragma once

#include <QElapsedTimer>
#include <QPixmap>
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

    // The backdrop of a w x h panel at animation time t (seconds). Safe for w or h of 0. It is the sky
    // (the night gradient and the two halos, which never move) under the motion (orbits and particles).
    static void paintBackdrop(QPainter& painter, int w, int h, double t);
    static void paintSky(QPainter& painter, int w, int h);
    static void paintMotion(QPainter& painter, int w, int h, double t);

    // The repaint timer (exposed for tests and subclasses that pace other animations on it).
    const QTimer& frameTimer() const { return timer_; }

protected:
    // The sky from a picture kept while the size stays, then the motion at time().
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // Draws the sky at (0, 0) from the kept picture, remade when the panel's size has changed.
    void paintCachedSky(QPainter& painter);

private:
    QElapsedTimer clock_;
    QTimer timer_;
    QPixmap sky_;  // the sky at the panel's size: a full-window gradient and two halos cost milliseconds
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
