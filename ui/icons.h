#pragma once

#include <QColor>
#include <QIcon>

class QPainter;

namespace orlex::ui {

// The settings gear of the main window: a 24-point star (outer radius 0.47 size, inner 0.36 size) in the
// colour, with a #14232F hub of diameter 0.32 size painted over its centre. The main window uses 19, #E1ECF3.
class GearIcon {
public:
    GearIcon(int size, QColor colour) : size_(size), colour_(colour) {}

    int width() const { return size_; }
    int height() const { return size_; }
    void paint(QPainter& painter, int x, int y) const;
    QIcon icon() const;

private:
    int size_;
    QColor colour_;
};

// The window glyphs of the undecorated main window: 14x14 in #E0D8F0, stroke 1.5; a cross for close, a low
// horizontal line for minimise.
class WindowIcon {
public:
    explicit WindowIcon(bool close) : close_(close) {}

    int width() const { return 14; }
    int height() const { return 14; }
    void paint(QPainter& painter, int x, int y) const;
    QIcon icon() const;

private:
    bool close_;
};

}  // namespace orlex::ui
