#pragma once

#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QTimer>
#include <QWidget>

namespace orlex::ui {

// The animated backdrop: a night gradient with two halos, three slowly swaying orbits and 55 drifting
// particles. Its clock starts at construction; its 33 ms frame timer runs only while the panel is shown,
// and a tick repaints only when reduced motion is off. Subclasses paint over it (call
// Cosmos::paintEvent first). GUI thread only.
//
// What a frame repaints: the particles' places (where each was drawn and where it is now), since they
// move by a tenth of a pixel and change their alpha every frame; the band along the orbits (where they
// were drawn and where they are now) once they have swayed by a whole pixel at their farthest point
// (lines of alpha 19 that move by a pixel every second or more slowly: a finer step is not seen, and each
// step repaints a band across the whole panel), except where the subclass covers the backdrop
// (coveredRegion); and what a subclass says changes in its own picture (changedRegion). The sky and the
// orbits are drawn from pictures kept between those times.
class Cosmos : public QWidget {
public:
    explicit Cosmos(QWidget* parent = nullptr);

    // Seconds since construction, or 0 under reduced motion.
    double time() const;

    // The backdrop of a w x h panel at animation time t (seconds). Safe for w or h of 0. It is the sky
    // (the night gradient and the two halos, which never move), the orbits and the particles.
    static void paintBackdrop(QPainter& painter, int w, int h, double t);
    static void paintSky(QPainter& painter, int w, int h);
    static void paintOrbits(QPainter& painter, int w, int h, double t);
    // Only the particles that meet `only` when it is not empty.
    static void paintParticles(QPainter& painter, int w, int h, double t, const QRegion& only = {});

    // The repaint timer (exposed for tests and subclasses that pace other animations on it).
    const QTimer& frameTimer() const { return timer_; }

protected:
    // paintFrameBackdrop at time().
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // The backdrop at time t as frames draw it: the sky and the orbits from the kept picture (remade for
    // the panel's size, and for t when the orbits have swayed by a pixel since it was made),
    // then the particles at t, within region (the paint event's). A subclass painting its own frame
    // draws this first.
    void paintFrameBackdrop(QPainter& painter, double t, const QRegion& region);
    // Asked on each frame tick with the time the coming frame shows: where the subclass's own picture
    // changes at t (empty when nothing does), to have that repainted with the frame.
    virtual QRegion changedRegion(double t);
    // Where the subclass paints an opaque picture over the backdrop, which the backdrop's own changes
    // therefore need not repaint.
    virtual QRegion coveredRegion() const;

private:
    void tick();
    bool orbitsMoved(double t) const;  // by a pixel since orbitTime_

    QElapsedTimer clock_;
    QTimer timer_;
    QPixmap sky_;             // the sky at the panel's size: a full-window gradient and two halos
    QPixmap skyWithOrbits_;   // sky_ with the orbits at skyTime_
    double skyTime_ = 0;      // the orbits' time in skyWithOrbits_
    double orbitTime_ = 0;    // the time the orbits are shown at, moved on by the frame timer
    double paintedTime_ = 0;  // the particles' time in the last frame
};

// A transparent panel that paints a rounded translucent card behind its children: shadow, body gradient,
// outline (brighter when the dynamic property "selected" is true) and a top light. Inner margins 24, 26,
// 24, 26 (top, left, bottom, right) unless replaced with setContentsMargins.
class Surface : public QWidget {
public:
    explicit Surface(QWidget* parent = nullptr);

    // The card of a w x h panel.
    static void paintCard(QPainter& painter, int w, int h, bool selected);

protected:
    // The card from a picture kept while the size and "selected" stay the same.
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QPixmap card_;
    bool cardSelected_ = false;
};

// Draws the places (logical) of a picture kept at the device's pixel ratio, one small blit each. Each
// place is widened to whole device pixels: at a fractional ratio (150 %) a logical place starts inside a
// device pixel, and pieces cut there would meet one pixel apart.
void drawKeptPlaces(QPainter& g, const QPixmap& kept, const QRegion& places);

}  // namespace orlex::ui
