#pragma once

#include <QColor>
#include <QFont>
#include <functional>

class QAbstractButton;
class QLabel;
class QPainter;
class QSlider;
class QWidget;

namespace orlex::ui {

// The launcher's dark theme: palette, rendering quality, reduced-motion switch, application-wide defaults
// and the painted looks of buttons and sliders. Everything here runs on the GUI thread.
//
// Sizes are pixels. Font sizes are pixel sizes as well (a "13" font is 13 px tall, whatever the screen's
// resolution), so the theme looks the same on every display. Arcs are the width and height of a rounded
// corner's ellipse (Qt's corner radius is half of it).
class Theme {
public:
    static inline const QColor NIGHT{0x08, 0x0A, 0x19};
    static inline const QColor PANEL{0x12, 0x14, 0x2B};
    static inline const QColor TEXT{0xEB, 0xEE, 0xF9};
    static inline const QColor MUTED{0xA1, 0xAC, 0xC7};
    static inline const QColor VIOLET{0xA6, 0x73, 0xF6};
    static inline const QColor CYAN{0x5C, 0xD2, 0xF6};
    static inline const QColor GOLD{0xB3, 0xCF, 0xFF};

    // The per-user reduced-motion preference (node "com/orlex/ui", key "reducedMotion", default false).
    // Every frame asks: the store is read again only after a change made in this process, so a change
    // from the settings window shows at the next frame of every window.
    static bool reduced();

    // Antialiasing, text antialiasing and smooth (bicubic-like) pixmap scaling on the painter.
    static void quality(QPainter& painter);

    // Installs the theme's style (delegates for combo boxes, scroll bars, check and radio glyphs,
    // splitters, tabs and toggle buttons), the application palette and the per-kind fonts. Needs a
    // QApplication; call once before the first window is built. Later calls do nothing.
    static void installDefaults();

    // Gives a slider the theme's look: transparent, violet-to-cyan filled part, round thumb, no focus mark.
    static void slider(QSlider* slider);

    // The theme's button look (primary or secondary kind). May be applied again to the same button: the
    // painter, margins, colour, font and cursor are set again; the glow timer and the sound hooks stay
    // single. The property "compact" (bool) must be set before the first call to take effect.
    // Dynamic properties on the button: "ui2-hover" (float glow 0..1), "ui2-timer" (its 16 ms QTimer).
    static void button(QAbstractButton* button, bool primary);

    // One tick of a button's glow animation (what its 16 ms timer runs): moves "ui2-hover" 24 % of the way
    // to its target (1 when hovered or focused, else 0), or all the way under reduced motion; stops the
    // timer once within 0.01 of the target.
    static void glowStep(QAbstractButton* button);

    // Plays the interface sound: hover == true for the pointer entering an enabled button, false for a
    // press. Called on the GUI thread; must return quickly and never throw. The default plays the
    // interface tones (audio::UiSound) at the stored interface volume.
    using SoundPlayer = std::function<void(bool hover)>;
    static void setSoundPlayer(SoundPlayer player);

    // The theme pass over c and every widget below it, in tree order (see theme.cpp for the rules).
    static void themeTree(QWidget* c);

    // A soft radial glow: the circle of radius r around (x, y), colour at the centre fading to alpha 0.
    static void halo(QPainter& painter, double x, double y, double r, const QColor& colour);

    // The platform's sans-serif face in the given weight, italic flag and pixel size.
    static QFont sans(int pixelSize, bool bold = false, bool italic = false);

    // The size of a font in the theme's units (pixels), whether it was set in pixels or in points.
    static double fontSize(const QFont& font);
};

// The field look of the sign-in forms: background #0C1928, text #EEF4F7, a white caret, sans-serif 14, a
// 1 px #7065A3 line around margins 6, 8, 6, 8.
void styleField(QWidget* field);

// Stores "primary" on the button and gives it the button look.
void styleButton(QAbstractButton* button, bool primary);

// A new label with the text drawn in the font and colour given.
QLabel* colouredLabel(const QString& text, const QFont& font, const QColor& colour);

}  // namespace orlex::ui
