#include "ui/components.h"

#include <QDynamicPropertyChangeEvent>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QTransform>
#include <algorithm>
#include <cmath>

#include "ui/theme.h"

namespace orlex::ui {
namespace {

constexpr int PARTICLES = 55;

// The orbits' common rotation at time t, in radians.
double orbitSway(double t) {
    return 0.025 * std::sin(0.06 * t);
}

struct Particle {
    QRectF bounds;
    QColor colour;
};

// How far an orbit reaches from the centre it sways about (0.58 w, 0.48 h): its bounding box's farthest
// corner, which no point of the ellipse passes.
double orbitReach(int w, int h) {
    return std::hypot(0.43 * w, std::max(0.36 * h, 0.28 * h + 40));
}

// The pixels the three orbits cover at time t: squares of 30 px centred along each ellipse at most 24 px
// of arc apart, so that the arc between two centres, its stroke and antialiasing stay inside them.
QRegion orbitBand(int w, int h, double t) {
    QRegion band;
    const double a = 0.4 * w, b = 0.32 * h;
    const int samples = std::max(8, static_cast<int>(2 * M_PI * std::max(a, b) / 24));
    for (int i = 0; i < 3; ++i) {
        QTransform rotation;
        rotation.translate(0.58 * w, 0.48 * h);
        rotation.rotateRadians(-0.17 + 0.12 * i + orbitSway(t));
        rotation.translate(-0.58 * w, -0.48 * h);
        const QPointF centre(0.15 * w + a, 0.12 * h + 20 * i + b);
        for (int k = 0; k < samples; ++k) {
            const double phi = 2 * M_PI * k / samples;
            const QPointF at = rotation.map(centre + QPointF(a * std::cos(phi), b * std::sin(phi)));
            band += QRect(static_cast<int>(at.x()) - 15, static_cast<int>(at.y()) - 15, 30, 30);
        }
    }
    return band;
}

Particle particle(int i, int w, int h, double t) {
    const double wrapX = std::max(1, w), wrapY = std::max(1, h);
    const double x = std::fmod(179.37 * i, wrapX);
    const double y = std::fmod(91.7 * i + t * (2 + i % 3), wrapY);
    const int alpha = 40 + static_cast<int>(35 * (1 + std::sin(0.7 * t + i)));
    QColor colour = i % 3 == 0 ? Theme::CYAN : Theme::VIOLET;
    colour.setAlpha(alpha);
    const double d = i % 7 == 0 ? 3.0 : 1.5;
    return {QRectF(x, y, d, d), colour};
}

}  // namespace

Cosmos::Cosmos(QWidget* parent) : QWidget(parent) {
    clock_.start();
    timer_.setInterval(33);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        if (isVisible() && !Theme::reduced())
            tick();
    });
    QPalette p = palette();
    p.setColor(QPalette::Window, Theme::NIGHT);
    setPalette(p);
    setAttribute(Qt::WA_OpaquePaintEvent, true);
}

double Cosmos::time() const {
    if (Theme::reduced())
        return 0.0;
    return static_cast<double>(clock_.nsecsElapsed()) / 1e9;
}

void Cosmos::paintBackdrop(QPainter& g, int w, int h, double t) {
    paintSky(g, w, h);
    paintOrbits(g, w, h, t);
    paintParticles(g, w, h, t);
}

void Cosmos::paintSky(QPainter& g, int w, int h) {
    g.save();
    Theme::quality(g);
    g.setPen(Qt::NoPen);
    QLinearGradient sky(0, 0, w, h);
    sky.setColorAt(0, QColor(0x14, 0x0E, 0x2A));
    sky.setColorAt(1, QColor(0x05, 0x0F, 0x1D));
    g.fillRect(QRectF(0, 0, w, h), sky);

    const double size = std::max(w, h);
    Theme::halo(g, 0.18 * w, 0.48 * h, 0.6 * size, QColor(0x68, 0x31, 0xA0, 48));
    Theme::halo(g, 0.86 * w, 0.35 * h, 0.55 * size, QColor(0x0E, 0x98, 0xC7, 42));
    g.restore();
}

void Cosmos::paintOrbits(QPainter& g, int w, int h, double t) {
    g.save();
    Theme::quality(g);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(QColor(0x7E, 0x8B, 0xE0, 19), 1));
    for (int i = 0; i < 3; ++i) {
        const double angle = -0.17 + 0.12 * i + orbitSway(t);
        g.save();
        g.translate(0.58 * w, 0.48 * h);
        g.rotate(angle * 180.0 / M_PI);
        g.translate(-0.58 * w, -0.48 * h);
        g.drawEllipse(QRectF(0.15 * w, 0.12 * h + 20 * i, 0.8 * w, 0.64 * h));
        g.restore();
    }
    g.restore();
}

void Cosmos::paintParticles(QPainter& g, int w, int h, double t, const QRegion& only) {
    g.save();
    Theme::quality(g);
    g.setPen(Qt::NoPen);
    for (int i = 0; i < PARTICLES; ++i) {
        const Particle p = particle(i, w, h, t);
        if (!only.isEmpty() && !only.intersects(p.bounds.toAlignedRect()))
            continue;  // outside what this frame repaints: clipped away anyway, after the painter's work
        g.setBrush(p.colour);
        g.drawEllipse(p.bounds);
    }
    g.restore();
}

void Cosmos::paintEvent(QPaintEvent* event) {
    QPainter g(this);
    paintFrameBackdrop(g, time(), event->region());
}

bool Cosmos::orbitsMoved(double t) const {
    return std::abs(orbitSway(t) - orbitSway(orbitTime_)) * orbitReach(width(), height()) >= 1.0;
}

void Cosmos::paintFrameBackdrop(QPainter& g, double t, const QRegion& region) {
    const qreal ratio = devicePixelRatioF();
    if (sky_.size() != size() * ratio) {
        sky_ = QPixmap(size() * ratio);
        sky_.setDevicePixelRatio(ratio);
        QPainter p(&sky_);
        paintSky(p, width(), height());
        skyWithOrbits_ = QPixmap();
    }
    // The orbits stay where the frame timer last moved them; under reduced motion, at t = 0.
    const double orbits = t == 0 ? 0 : orbitTime_;
    if (skyWithOrbits_.size() != sky_.size() || skyTime_ != orbits) {
        skyWithOrbits_ = sky_.copy();
        skyWithOrbits_.setDevicePixelRatio(ratio);
        QPainter p(&skyWithOrbits_);
        paintOrbits(p, width(), height(), orbits);
        skyTime_ = orbits;
    }
    // Only what the frame repaints: one blit of the whole panel under a clip of many small places
    // would be cut into scanline jobs for the painter's worker threads.
    drawKeptPlaces(g, skyWithOrbits_, region);
    paintParticles(g, width(), height(), t, region);
    paintedTime_ = t;
}

QRegion Cosmos::changedRegion(double) {
    return {};
}

QRegion Cosmos::coveredRegion() const {
    return {};
}

void Cosmos::tick() {
    const double t = time();
    const int w = width(), h = height();
    // Each particle where it was drawn and where it goes, with a margin for antialiasing and for the
    // time that passes until the frame is painted.
    QRegion changed;
    for (int i = 0; i < PARTICLES; ++i) {
        changed += particle(i, w, h, paintedTime_).bounds.toAlignedRect().adjusted(-2, -2, 2, 2);
        changed += particle(i, w, h, t).bounds.toAlignedRect().adjusted(-2, -2, 2, 2);
    }
    if (orbitsMoved(t)) {
        changed += orbitBand(w, h, orbitTime_);
        changed += orbitBand(w, h, t);
        orbitTime_ = t;
    }
    update(changed - coveredRegion() + changedRegion(t));
}

void Cosmos::showEvent(QShowEvent* event) {
    timer_.start();
    QWidget::showEvent(event);
}

void Cosmos::hideEvent(QHideEvent* event) {
    timer_.stop();
    QWidget::hideEvent(event);
}

Surface::Surface(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(false);
    setContentsMargins(26, 24, 26, 24);
}

void Surface::paintEvent(QPaintEvent* event) {
    const bool selected = property("selected").toBool();
    const qreal ratio = devicePixelRatioF();
    if (card_.size() != size() * ratio || cardSelected_ != selected) {
        card_ = QPixmap(size() * ratio);
        card_.setDevicePixelRatio(ratio);
        card_.fill(Qt::transparent);
        QPainter p(&card_);
        paintCard(p, width(), height(), selected);
        cardSelected_ = selected;
    }
    // The card from its kept picture: the backdrop's frames repaint small places under it many times a
    // second, and the card's shapes and gradients would be laid out again for each.
    QPainter g(this);
    drawKeptPlaces(g, card_, event->region());
}

void Surface::paintCard(QPainter& g, int w, int h, bool selected) {
    Theme::quality(g);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0, 0, 0, 45));
    g.drawRoundedRect(QRectF(2, 5, w - 3, h - 5), 12, 12);
    QLinearGradient body(0, 0, w, h);
    body.setColorAt(0, QColor(0x19, 0x25, 0x3D, 242));
    body.setColorAt(1, QColor(0x0B, 0x12, 0x22, 248));
    g.setBrush(body);
    g.drawRoundedRect(QRectF(0, 0, w - 2, h - 5), 11, 11);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(selected ? QColor(0x69, 0xD1, 0xF6, 210) : QColor(0x8D, 0xB3, 0xE2, 55), 1));
    g.drawRoundedRect(QRectF(0, 0, w - 3, h - 6), 11, 11);
    QLinearGradient light(25, 0, w - 25, 0);
    light.setColorAt(0, QColor(0xA3, 0x84, 0xFF, 150));
    light.setColorAt(1, QColor(0x52, 0xD6, 0xF4, 140));
    g.setPen(Qt::NoPen);
    g.fillRect(QRectF(25, 0, std::max(0, w - 50), 1), light);
}

bool Surface::event(QEvent* event) {
    if (event->type() == QEvent::DynamicPropertyChange &&
        static_cast<QDynamicPropertyChangeEvent*>(event)->propertyName() == "selected")
        update();
    return QWidget::event(event);
}

void drawKeptPlaces(QPainter& g, const QPixmap& kept, const QRegion& places) {
    const qreal ratio = kept.devicePixelRatio();
    for (const QRect& place : places) {
        const int left = static_cast<int>(std::floor(place.left() * ratio));
        const int top = static_cast<int>(std::floor(place.top() * ratio));
        const int right = static_cast<int>(std::ceil((place.right() + 1) * ratio));
        const int bottom = static_cast<int>(std::ceil((place.bottom() + 1) * ratio));
        const QRectF device(left, top, right - left, bottom - top);
        g.drawPixmap(QRectF(device.topLeft() / ratio, device.size() / ratio), kept, device);
    }
}

}  // namespace orlex::ui
