#include "ui/style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleHints>
#include <QStyleOption>
#include <QTabBar>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <optional>

#include "ui/theme.h"

namespace orlex::ui {

namespace {

const QColor LINE{0x2E, 0x3F, 0x58};

bool themedButton(const QWidget* w) {
    return w && w->property("ui2-look").isValid();
}

// A checkable push button that has not been given the button look: the toggle button of the theme.
bool toggleButton(const QWidget* w) {
    auto* b = qobject_cast<const QPushButton*>(w);
    return b && b->isCheckable() && !themedButton(w);
}

QPen roundPen(const QColor& colour, double width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void paintToggle(QPainter& g, const QStyleOption& opt) {
    const QRect r = opt.rect;
    const int w = r.width(), h = r.height();
    const bool active = opt.state & QStyle::State_On;
    const bool hover = (opt.state & QStyle::State_MouseOver) || (opt.state & QStyle::State_HasFocus);
    g.save();
    g.translate(r.topLeft());
    Theme::quality(g);
    g.setPen(Qt::NoPen);
    g.setBrush(active  ? QColor(0x33, 0x3E, 0x6A)
               : hover ? QColor(0x22, 0x31, 0x4C)
                       : QColor(0x13, 0x1D, 0x2F));
    g.drawRoundedRect(QRectF(0, 0, w, h), 4.5, 4.5);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(active ? QColor(0x7D, 0xB4, 0xF1) : QColor(0x53, 0x6B, 0x90, 75), 1));
    g.drawRoundedRect(QRectF(0, 0, w - 1, h - 1), 4.5, 4.5);
    if (active) {
        g.setPen(Qt::NoPen);
        g.setBrush(Theme::CYAN);
        g.drawRoundedRect(QRectF(8, h - 3, std::max(0, w - 16), 2), 1, 1);
    }
    g.restore();
}

// The text caret of an input, in the colour of its CARET property (TEXT when unset). Qt draws its own caret
// by inverting the pixels under it whatever the palette, so the style gives that one no width and this
// one is painted over the input once the input has painted itself. It blinks at the platform's rate and
// shows at once after every move or edit, as Qt's own does.
class CaretPainter : public QObject {
public:
    // surface: where the input paints its text (the viewport of a text edit, else the input itself).
    CaretPainter(QWidget* input, QWidget* surface) : QObject(input), input_(input), surface_(surface) {
        const int flash = QGuiApplication::styleHints()->cursorFlashTime();
        blinks_ = flash > 0;
        blink_.setInterval(flash / 2);
        connect(&blink_, &QTimer::timeout, this, [this] {
            shown_ = !shown_;
            surface_->update();
        });
        input->installEventFilter(this);
        if (surface != input)
            surface->installEventFilter(this);
    }

    // After a move of the caret or an edit.
    void moved() {
        shown_ = true;
        if (blink_.isActive())
            blink_.start();
        surface_->update();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == surface_ && event->type() == QEvent::Paint && !painting_) {
            painting_ = true;
            QCoreApplication::sendEvent(surface_, event);  // the input's own painting, past this filter
            painting_ = false;
            paint();
            return true;
        }
        if (watched == input_ && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
            shown_ = true;
            if (event->type() == QEvent::FocusIn && blinks_)
                blink_.start();
            else
                blink_.stop();
            surface_->update();
        }
        return false;
    }

private:
    static constexpr int WIDTH = 1;

    void paint() const {
        if (!shown_ || !input_->hasFocus() || !input_->isEnabled())
            return;
        if (const std::optional<QRect> caret = caretRect()) {
            const QVariant colour = input_->property(TessalineStyle::CARET);
            QPainter(surface_).fillRect(*caret, colour.isValid() ? colour.value<QColor>() : Theme::TEXT);
        }
    }

    // Where the caret goes on the surface, or nullopt for a read-only input, which shows none.
    std::optional<QRect> caretRect() const {
        if (auto* line = qobject_cast<QLineEdit*>(input_)) {
            if (line->isReadOnly())
                return std::nullopt;
            // A line edit reports the area around its caret: from 5 px before it, one text line high.
            const QRect area = line->inputMethodQuery(Qt::ImCursorRectangle).toRect();
            return QRect(area.x() + 5, area.y(), WIDTH, area.height() - 1);
        }
        QRect edited;
        if (auto* edit = qobject_cast<QTextEdit*>(input_); edit && !edit->isReadOnly())
            edited = edit->cursorRect();
        else if (auto* plain = qobject_cast<QPlainTextEdit*>(input_); plain && !plain->isReadOnly())
            edited = plain->cursorRect();
        else
            return std::nullopt;
        return QRect(edited.x(), edited.y(), WIDTH, edited.height());
    }

    QWidget* input_;
    QWidget* surface_;
    QTimer blink_;
    bool blinks_ = false;
    bool shown_ = true;
    bool painting_ = false;
};

// Gives a text input the theme's caret, once.
void installCaret(QWidget* widget) {
    constexpr const char* INSTALLED = "ui2-caret-painter";
    if (widget->property(INSTALLED).toBool())
        return;
    CaretPainter* caret = nullptr;
    if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        caret = new CaretPainter(line, line);
        QObject::connect(line, &QLineEdit::cursorPositionChanged, caret, &CaretPainter::moved);
        QObject::connect(line, &QLineEdit::textChanged, caret, &CaretPainter::moved);
    } else if (auto* edit = qobject_cast<QTextEdit*>(widget)) {
        caret = new CaretPainter(edit, edit->viewport());
        edit->setCursorWidth(0);
        QObject::connect(edit, &QTextEdit::cursorPositionChanged, caret, &CaretPainter::moved);
        QObject::connect(edit, &QTextEdit::textChanged, caret, &CaretPainter::moved);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
        caret = new CaretPainter(plain, plain->viewport());
        plain->setCursorWidth(0);
        QObject::connect(plain, &QPlainTextEdit::cursorPositionChanged, caret, &CaretPainter::moved);
        QObject::connect(plain, &QPlainTextEdit::textChanged, caret, &CaretPainter::moved);
    }
    if (caret)
        widget->setProperty(INSTALLED, true);
}

// A field's 1 px border as four filled edges rather than a pen, whose line is centred on the edge: on a
// screen scaled to 150 % a field at an odd x starts half-way into a device pixel, and the pen's column
// fell outside it.
void paintFieldBorder(QPainter& painter, const QRect& r, const QColor& line) {
    painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), line);
    painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), line);
    painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), line);
    painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), line);
}

}  // namespace

TessalineStyle::TessalineStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void TessalineStyle::install() {
    QApplication::setStyle(new TessalineStyle);

    QPalette p;
    const QColor selection(0x3A, 0x42, 0x70);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, Theme::NIGHT);
        p.setColor(group, QPalette::WindowText, Theme::TEXT);
        p.setColor(group, QPalette::Base, Theme::PANEL);
        p.setColor(group, QPalette::AlternateBase, Theme::PANEL);
        p.setColor(group, QPalette::Text, Theme::TEXT);
        p.setColor(group, QPalette::Button, Theme::PANEL);
        p.setColor(group, QPalette::ButtonText, Theme::TEXT);
        p.setColor(group, QPalette::BrightText, Theme::TEXT);
        p.setColor(group, QPalette::ToolTipBase, Theme::PANEL);
        p.setColor(group, QPalette::ToolTipText, Theme::TEXT);
        p.setColor(group, QPalette::Highlight, selection);
        p.setColor(group, QPalette::HighlightedText, Theme::TEXT);
        p.setColor(group, QPalette::PlaceholderText, Theme::MUTED);
        p.setColor(group, QPalette::Light, LINE);
        p.setColor(group, QPalette::Midlight, LINE);
        p.setColor(group, QPalette::Mid, LINE);
        p.setColor(group, QPalette::Dark, Theme::NIGHT);
        p.setColor(group, QPalette::Shadow, Theme::NIGHT);
        p.setColor(group, QPalette::Link, Theme::CYAN);
    }
    p.setColor(QPalette::Disabled, QPalette::WindowText, Theme::MUTED);
    p.setColor(QPalette::Disabled, QPalette::Text, Theme::MUTED);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, Theme::MUTED);
    QApplication::setPalette(p);

    QPalette combo = p;
    for (auto group : {QPalette::Active, QPalette::Inactive})
        combo.setColor(group, QPalette::Highlight, QColor(0x31, 0x42, 0x67));
    QApplication::setPalette(combo, "QComboBox");
    QPalette tree = p;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        tree.setColor(group, QPalette::Base, Theme::NIGHT);
    QApplication::setPalette(tree, "QTreeView");
    QPalette titled = p;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        titled.setColor(group, QPalette::WindowText, Theme::MUTED);
    QApplication::setPalette(titled, "QGroupBox");

    QApplication::setFont(Theme::sans(13));
}

void TessalineStyle::paintSelectionIcon(QPainter& g, int x, int y, bool radio, bool selected) {
    g.save();
    g.translate(x, y);
    Theme::quality(g);
    const QRectF shape(2, 2, 13, 13);
    const QPen pen = roundPen(selected ? Theme::CYAN : QColor(0x70, 0x87, 0xAD), 1.4);
    g.setPen(Qt::NoPen);
    g.setBrush(selected ? QColor(0x4D, 0x5E, 0x97) : QColor(0x14, 0x1F, 0x31));
    if (radio)
        g.drawEllipse(shape);
    else
        g.drawRoundedRect(shape, 2, 2);
    g.setBrush(Qt::NoBrush);
    g.setPen(pen);
    if (radio)
        g.drawEllipse(shape);
    else
        g.drawRoundedRect(shape, 2, 2);
    if (selected) {
        if (radio) {
            g.setPen(Qt::NoPen);
            g.setBrush(Theme::TEXT);
            g.drawEllipse(QRectF(6, 6, 5, 5));
        } else {
            g.setPen(roundPen(Theme::TEXT, 1.4));
            g.drawLine(QPointF(5, 9), QPointF(8, 12));
            g.drawLine(QPointF(8, 12), QPointF(13, 6));
        }
    }
    g.restore();
}

void TessalineStyle::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    if (qobject_cast<QAbstractButton*>(widget) || qobject_cast<QScrollBar*>(widget) ||
        qobject_cast<QTabBar*>(widget) || qobject_cast<QComboBox*>(widget))
        widget->setAttribute(Qt::WA_Hover, true);
    installCaret(widget);
}

int TessalineStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
    switch (metric) {
        case PM_ScrollBarExtent:
            return 11;
        case PM_ScrollBarSliderMin:
            return 16;
        case PM_SplitterWidth:
            return 7;
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
        case PM_ExclusiveIndicatorWidth:
        case PM_ExclusiveIndicatorHeight:
            return 18;
        case PM_SliderLength:
            return 16;
        case PM_SliderThickness:
        case PM_SliderControlThickness:
            return 20;
        case PM_TabBarTabHSpace:
            return 32;  // insets 16 left and right
        case PM_TabBarTabVSpace:
            return 20;  // insets 10 above and below
        case PM_TabBarBaseOverlap:
        case PM_TabBarTabShiftVertical:
        case PM_TabBarTabShiftHorizontal:
            return 0;
        case PM_DefaultFrameWidth:
            if (widget && widget->property(FIELD_BORDER).isValid())
                return 1;
            break;
        case PM_TextCursorWidth:
            return 0;  // every text input gets the theme's own caret (polish), in its colour
        default:
            break;
    }
    return QProxyStyle::pixelMetric(metric, option, widget);
}

int TessalineStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                              QStyleHintReturn* returnData) const {
    if (hint == SH_TabBar_Alignment)
        return Qt::AlignLeft;
    if (hint == SH_ScrollBar_ContextMenu)
        return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}

QSize TessalineStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                       const QWidget* widget) const {
    if (type == CT_PushButton && themedButton(widget)) {
        const QMargins m = widget->contentsMargins();
        return size + QSize(m.left() + m.right(), m.top() + m.bottom());
    }
    if (type == CT_PushButton && toggleButton(widget))
        return size + QSize(24, 16);
    if (type == CT_LineEdit && widget && widget->property(FIELD_BORDER).isValid())
        return size + QSize(2, 2);
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

QRect TessalineStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                     SubControl sub, const QWidget* widget) const {
    if (control == CC_ScrollBar) {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            const QRect r = bar->rect;
            const bool horizontal = bar->orientation == Qt::Horizontal;
            const int span = horizontal ? r.width() : r.height();
            const int range = bar->maximum - bar->minimum;
            int length = span;
            if (range > 0) {
                const qint64 page = std::max(1, bar->pageStep);
                length = static_cast<int>(page * span / (range + page));
                length = std::clamp(length,
                                    std::min(span, pixelMetric(PM_ScrollBarSliderMin, option, widget)), span);
            }
            const int start = sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                                      span - length, bar->upsideDown);
            auto along = [&](int from, int size) {
                return horizontal ? QRect(r.x() + from, r.y(), size, r.height())
                                  : QRect(r.x(), r.y() + from, r.width(), size);
            };
            switch (sub) {
                case SC_ScrollBarAddLine:
                case SC_ScrollBarSubLine:
                    return QRect();
                case SC_ScrollBarGroove:
                    return r;
                case SC_ScrollBarSlider:
                    return along(start, length);
                case SC_ScrollBarSubPage:
                    return along(0, start);
                case SC_ScrollBarAddPage:
                    return along(start + length, span - start - length);
                default:
                    return QRect();
            }
        }
    }
    if (control == CC_ComboBox) {
        const QRect r = option->rect;
        switch (sub) {
            case SC_ComboBoxArrow:
                return QRect(r.right() - 25, r.y(), 26, r.height());
            case SC_ComboBoxEditField:
                return r.adjusted(8, 1, -27, -1);
            case SC_ComboBoxFrame:
            case SC_ComboBoxListBoxPopup:
                return r;
            default:
                break;
        }
    }
    if (control == CC_Slider) {
        if (const auto* s = qstyleoption_cast<const QStyleOptionSlider*>(option)) {
            const QRect r = s->rect;
            const bool horizontal = s->orientation == Qt::Horizontal;
            const int length = 16, thickness = 20;
            const int span = (horizontal ? r.width() : r.height()) - length;
            const int position = sliderPositionFromValue(s->minimum, s->maximum, s->sliderPosition,
                                                         std::max(0, span), s->upsideDown);
            if (sub == SC_SliderGroove) {
                return horizontal ? QRect(r.x() + length / 2, r.y() + (r.height() - thickness) / 2,
                                          std::max(0, r.width() - length), thickness)
                                  : QRect(r.x() + (r.width() - thickness) / 2, r.y() + length / 2, thickness,
                                          std::max(0, r.height() - length));
            }
            if (sub == SC_SliderHandle) {
                return horizontal
                           ? QRect(r.x() + position, r.y() + (r.height() - thickness) / 2, length, thickness)
                           : QRect(r.x() + (r.width() - thickness) / 2, r.y() + position, thickness, length);
            }
        }
    }
    return QProxyStyle::subControlRect(control, option, sub, widget);
}

void TessalineStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
    switch (element) {
        case PE_FrameFocusRect:
            return;  // the theme has no focus marks
        case PE_IndicatorCheckBox:
        case PE_IndicatorRadioButton:
            paintSelectionIcon(*painter, option->rect.x(), option->rect.y(),
                               element == PE_IndicatorRadioButton, option->state & State_On);
            return;
        case PE_PanelLineEdit:
        case PE_FrameLineEdit:
            if (widget && widget->property(FIELD_BORDER).isValid()) {
                if (element == PE_PanelLineEdit)
                    painter->fillRect(option->rect, option->palette.base());
                paintFieldBorder(*painter, option->rect, widget->property(FIELD_BORDER).value<QColor>());
                return;
            }
            break;
        case PE_FrameTabWidget:
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing, false);
            painter->setPen(LINE);
            painter->drawLine(option->rect.left(), option->rect.top(), option->rect.right(),
                              option->rect.top());
            painter->restore();
            return;
        case PE_FrameTabBarBase:
            return;
        case PE_FrameGroupBox:  // a titled border: a 1 px line, title in MUTED (application palette)
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing, false);
            painter->setPen(LINE);
            painter->setBrush(Qt::NoBrush);
            painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
            painter->restore();
            return;
        case PE_PanelButtonCommand:
            if (toggleButton(widget)) {
                paintToggle(*painter, *option);
                return;
            }
            break;
        default:
            break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void TessalineStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
    switch (element) {
        case CE_Splitter: {
            const QRect r = option->rect;
            const int w = r.width(), h = r.height();
            painter->fillRect(r, Theme::NIGHT);
            const QColor grip(0x39, 0x4C, 0x69);
            for (int i = -1; i <= 1; ++i) {
                if (h > w)
                    painter->fillRect(QRect(r.x() + w / 2, r.y() + h / 2 + 5 * i, 1, 2), grip);
                else
                    painter->fillRect(QRect(r.x() + w / 2 + 5 * i, r.y() + h / 2, 2, 1), grip);
            }
            return;
        }
        case CE_TabBarTabShape: {
            const QRect r = option->rect;
            const bool selected = option->state & State_Selected;
            painter->save();
            Theme::quality(*painter);
            painter->setPen(Qt::NoPen);
            painter->setBrush(selected ? QColor(0x25, 0x34, 0x52) : Theme::NIGHT);
            painter->drawRoundedRect(QRectF(r.x() + 1, r.y() + 2, r.width() - 2, r.height() - 2), 4, 4);
            if (selected)
                painter->fillRect(QRect(r.x() + 10, r.y() + r.height() - 2, std::max(0, r.width() - 20), 2),
                                  Theme::CYAN);
            painter->restore();
            return;
        }
        case CE_MenuBarEmptyArea:  // menu bars: NIGHT with a 1 px line at the bottom only
            painter->fillRect(option->rect, Theme::NIGHT);
            painter->fillRect(QRect(option->rect.left(), option->rect.bottom(), option->rect.width(), 1),
                              LINE);
            return;
        case CE_ProgressBarGroove:
            painter->fillRect(option->rect, option->palette.base());
            return;
        case CE_ProgressBarContents:
            if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option)) {
                const qint64 range = qint64(bar->maximum) - bar->minimum;
                if (range <= 0)
                    return;
                const double part = double(bar->progress - bar->minimum) / double(range);
                QRect filled = bar->rect;
                filled.setWidth(static_cast<int>(filled.width() * std::clamp(part, 0.0, 1.0)));
                painter->fillRect(filled, option->palette.highlight());
            }
            return;
        case CE_ShapedFrame:
            if (widget && widget->property(FIELD_BORDER).isValid()) {
                paintFieldBorder(*painter, option->rect, widget->property(FIELD_BORDER).value<QColor>());
                return;
            }
            break;
        case CE_PushButtonBevel:
            if (toggleButton(widget)) {
                paintToggle(*painter, *option);
                return;
            }
            break;
        default:
            break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void TessalineStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                        QPainter* painter, const QWidget* widget) const {
    if (control == CC_ScrollBar) {
        painter->fillRect(option->rect, Theme::NIGHT);
        const QRect thumb = subControlRect(control, option, SC_ScrollBarSlider, widget);
        if (thumb.isEmpty())
            return;
        const bool over =
            (option->state & State_MouseOver) && (option->activeSubControls & SC_ScrollBarSlider);
        painter->save();
        Theme::quality(*painter);
        painter->setPen(Qt::NoPen);
        painter->setBrush(over ? QColor(0x8B, 0xAE, 0xDC) : QColor(0x4F, 0x66, 0x8D));
        painter->drawRoundedRect(QRectF(thumb.x() + 2, thumb.y() + 2, std::max(3, thumb.width() - 4),
                                        std::max(3, thumb.height() - 4)),
                                 3, 3);
        painter->restore();
        return;
    }
    if (control == CC_ComboBox) {
        const QRect r = option->rect;
        painter->save();
        painter->fillRect(r,
                          (option->state & State_Enabled) ? option->palette.button() : QBrush(Theme::PANEL));
        painter->setPen(LINE);
        painter->drawRect(r.adjusted(0, 0, -1, -1));
        const QRect arrow = subControlRect(control, option, SC_ComboBoxArrow, widget);
        const int cx = arrow.x() + arrow.width() / 2, cy = arrow.y() + arrow.height() / 2;
        Theme::quality(*painter);
        painter->setPen(roundPen((option->state & State_Enabled) ? Theme::CYAN : Theme::MUTED, 1.5));
        painter->drawLine(QPointF(cx - 4, cy - 2), QPointF(cx, cy + 2));
        painter->drawLine(QPointF(cx, cy + 2), QPointF(cx + 4, cy - 2));
        painter->restore();
        return;
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

}  // namespace orlex::ui
