#include "ui/icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

#include "ui/theme.h"

namespace orlex::ui {

namespace {

// A QIcon drawn by a painting function at its natural size, centred in whatever rectangle it is given.
class PaintedIconEngine : public QIconEngine {
public:
    PaintedIconEngine(QSize size, std::function<void(QPainter&, int, int)> paint)
        : size_(size), paint_(std::move(paint)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        paint_(*painter, rect.x() + (rect.width() - size_.width()) / 2,
               rect.y() + (rect.height() - size_.height()) / 2);
    }
    QSize actualSize(const QSize&, QIcon::Mode, QIcon::State) override { return size_; }
    // size is in device pixels: a screen scaled above 100 % asks for the icon's size times its ratio,
    // and the pixmap is then shown at the icon's size. The drawing scales by that ratio, or it would
    // shrink on such a screen.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        const qreal ratio = std::max(
            1.0, std::min(qreal(size.width()) / size_.width(), qreal(size.height()) / size_.height()));
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.scale(ratio, ratio);
        paint(&p, QRectF(QPointF(), QSizeF(size) / ratio).toRect(), mode, state);
        return pixmap;
    }
    QIconEngine* clone() const override { return new PaintedIconEngine(size_, paint_); }

private:
    QSize size_;
    std::function<void(QPainter&, int, int)> paint_;
};

}  // namespace

void GearIcon::paint(QPainter& g, int x, int y) const {
    g.save();
    g.setRenderHint(QPainter::Antialiasing, true);
    g.translate(x + size_ / 2.0, y + size_ / 2.0);
    QPolygonF star;
    for (int i = 0; i < 24; ++i) {
        const double angle = -M_PI / 2 + i * M_PI / 12;
        const double radius = (i % 2 == 0 ? 0.47 : 0.36) * size_;
        star << QPointF(radius * std::cos(angle), radius * std::sin(angle));
    }
    g.setPen(Qt::NoPen);
    g.setBrush(colour_);
    g.drawPolygon(star);
    const double hub = 0.32 * size_;
    g.setBrush(QColor(0x14, 0x23, 0x2F));
    g.drawEllipse(QRectF(-hub / 2, -hub / 2, hub, hub));
    g.restore();
}

QIcon GearIcon::icon() const {
    GearIcon self = *this;
    return QIcon(new PaintedIconEngine(QSize(size_, size_),
                                       [self](QPainter& g, int x, int y) { self.paint(g, x, y); }));
}

void WindowIcon::paint(QPainter& g, int x, int y) const {
    g.save();
    Theme::quality(g);
    g.translate(x, y);
    g.setPen(QPen(QColor(0xE0, 0xD8, 0xF0), 1.5));
    if (close_) {
        g.drawLine(QPointF(2, 2), QPointF(12, 12));
        g.drawLine(QPointF(12, 2), QPointF(2, 12));
    } else {
        g.drawLine(QPointF(2, 10), QPointF(12, 10));
    }
    g.restore();
}

QIcon WindowIcon::icon() const {
    WindowIcon self = *this;
    return QIcon(
        new PaintedIconEngine(QSize(14, 14), [self](QPainter& g, int x, int y) { self.paint(g, x, y); }));
}

}  // namespace orlex::ui
