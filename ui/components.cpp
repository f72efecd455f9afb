#include "ui/components.h"

#include <QDynamicPropertyChangeEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cmath>

#include "ui/theme.h"

namespace orlex::ui {

Cosmos::Cosmos(QWidget* parent) : QWidget(parent) {
    clock_.start();
    timer_.setInterval(33);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        if (isVisible() && !Theme::reduced())
            update();
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
    paintMotion(g, w, h, t);
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

void Cosmos::paintMotion(QPainter& g, int w, int h, double t) {
    g.save();
    Theme::quality(g);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(QColor(0x7E, 0x8B, 0xE0, 19), 1));
    for (int i = 0; i < 3; ++i) {
        const double angle = -0.17 + 0.12 * i + 0.025 * std::sin(0.06 * t);
        g.save();
        g.translate(0.58 * w, 0.48 * h);
        g.rotate(angle * 180.0 / M_PI);
        g.translate(-0.58 * w, -0.48 * h);
        g.drawEllipse(QRectF(0.15 * w, 0.12 * h + 20 * i, 0.8 * w, 0.64 * h));
        g.restore();
    }

    g.setPen(Qt::NoPen);
    const double wrapX = std::max(1, w), wrapY = std::max(1, h);
    for (int i = 0; i < 55; ++i) {
        const double x = std::fmod(179.37 * i, wrapX);
        const double y = std::fmod(91.7 * i + t * (2 + i % 3), wrapY);
        const int alpha = 40 + static_cast<int>(35 * (1 + std::sin(0.7 * t + i)));
        QColor colour = i % 3 == 0 ? Theme::CYAN : Theme::VIOLET;
        colour.setAlpha(alpha);
        const double d = i % 7 == 0 ? 3.0 : 1.5;
        g.setBrush(colour);
        g.drawEllipse(QRectF(x, y, d, d));
    }
    g.restore();
}

void Cosmos::paintEvent(QPaintEvent*) {
    QPainter g(this);
    paintCachedSky(g);
    paintMotion(g, width(), height(), time());
}

void Cosmos::paintCachedSky(QPainter& g) {
    const qreal ratio = devicePixelRatioF();
    if (sky_.size() != size() * ratio) {
        sky_ = QPixmap(size() * ratio);
        sky_.setDevicePixelRatio(ratio);
        QPainter p(&sky_);
        paintSky(p, width(), height());
    }
    g.drawPixmap(0, 0, sky_);
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

void Surface::paintEvent(QPaintEvent*) {
    QPainter g(this);
    Theme::quality(g);
    const int w = width(), h = height();
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0, 0, 0, 45));
    g.drawRoundedRect(QRectF(2, 5, w - 3, h - 5), 12, 12);
    QLinearGradient body(0, 0, w, h);
    body.setColorAt(0, QColor(0x19, 0x25, 0x3D, 242));
    body.setColorAt(1, QColor(0x0B, 0x12, 0x22, 248));
    g.setBrush(body);
    g.drawRoundedRect(QRectF(0, 0, w - 2, h - 5), 11, 11);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(
        property("selected").toBool() ? QColor(0x69, 0xD1, 0xF6, 210) : QColor(0x8D, 0xB3, 0xE2, 55), 1));
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

}  // namespace orlex::ui
