#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <cstdlib>
#include <ostream>

#include "common/preferences.h"

namespace orlex::ui::test {

// The widget rendered alone into an ARGB image of its size, over a transparent background.
inline QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// Channels within tolerance of each other (antialiased edges and gradients are compared loosely).
inline bool near(QColor a, QColor b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

// Sets the reduced-motion preference for the life of the object.
class ReducedMotion {
public:
    explicit ReducedMotion(bool on) { common::Preferences("com/orlex/ui").putBoolean("reducedMotion", on); }
    ~ReducedMotion() { common::Preferences("com/orlex/ui").remove("reducedMotion"); }
    ReducedMotion(const ReducedMotion&) = delete;
    ReducedMotion& operator=(const ReducedMotion&) = delete;
};

}  // namespace orlex::ui::test

inline void PrintTo(const QColor& c, std::ostream* os) {
    *os << "rgba(" << c.red() << ", " << c.green() << ", " << c.blue() << ", " << c.alpha() << ")";
}
