#pragma once

#include <QFont>
#include <QString>

namespace orlex::ui {

// The body face carried by the launcher archive as "/ui-body.ttf" (DejaVu Sans). Loaded on first use; when
// the resource is missing or unreadable the face is the platform's sans-serif, plain, 16 px. GUI thread.
class Typography {
public:
    enum Style { PLAIN = 0, BOLD = 1, ITALIC = 2 };

    // The body face in the style (PLAIN, BOLD, ITALIC or BOLD | ITALIC) and pixel size.
    static QFont font(int style, double size);

    // The family the body face resolved to (its registered family, or the fallback's).
    static QString family();
};

}  // namespace orlex::ui
