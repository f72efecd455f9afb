#pragma once

#include <QProxyStyle>

namespace orlex::ui {

// The theme's delegates on top of Qt's Fusion style: combo box chevron, scroll bars without arrows,
// check and radio glyphs, splitter grip, tabs, toggle buttons (checkable push buttons), flat progress bars,
// the bordered text inputs of the theme and the sizes of themed buttons. Installed application-wide by
// Theme::installDefaults(); paints on the GUI thread only.
class TessalineStyle : public QProxyStyle {
public:
    // Dynamic properties of a text input (QLineEdit, QTextEdit, QPlainTextEdit) read by the style: the
    // colour of its 1 px border (QColor) and the margins inside that border (QMargins).
    static constexpr const char* FIELD_BORDER = "ui2-field-border";
    static constexpr const char* FIELD_MARGINS = "ui2-field-margins";
    // The colour of a text input's caret (QColor); TEXT when unset. Every text input the style polishes
    // gets a caret painted in it, Qt's own (which inverts the pixels under it) being hidden.
    static constexpr const char* CARET = "ui2-caret";

    TessalineStyle();

    // Makes a new TessalineStyle the application's style and installs the theme's palette and fonts.
    static void install();

    // The check (radio == false) or radio glyph, 18x18 from (x, y).
    static void paintSelectionIcon(QPainter& painter, int x, int y, bool radio, bool selected);

    void polish(QWidget* widget) override;
    using QProxyStyle::polish;

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override;
};

}  // namespace orlex::ui
