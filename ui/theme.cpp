#include "ui/theme.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QSlider>
#include <QStyleOptionButton>
#include <QStyleOptionSlider>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <cmath>
#include <optional>
#include <utility>

#include "audio/ui_sound.h"
#include "common/preferences.h"
#include "ui/style.h"

namespace orlex::ui {

namespace {

// Dynamic property names shared with the style and the tests.
constexpr const char* HOVER = "ui2-hover";
constexpr const char* TIMER = "ui2-timer";
constexpr const char* LOOK = "ui2-look";
constexpr const char* SOUND = "ui2-sound";
constexpr const char* PRESSED = "ui2-pressed";
constexpr const char* SLIDER = "ui2-slider";

Theme::SoundPlayer& soundPlayer() {
    static Theme::SoundPlayer player = [](bool hover) { audio::UiSound::shared().play(hover); };
    return player;
}

void playSound(bool hover) {
    auto& player = soundPlayer();
    if (!player)
        return;
    try {
        player(hover);
    } catch (...) {
        // A button never fails because a sound cannot be played.
    }
}

// blend(p, q, t): p + (q - p) * t per channel in floating point, truncated toward zero.
QColor blend(const QColor& p, const QColor& q, double t) {
    auto channel = [t](int a, int b) { return static_cast<int>(a + (b - a) * t); };
    return QColor(channel(p.red(), q.red()), channel(p.green(), q.green()), channel(p.blue(), q.blue()),
                  channel(p.alpha(), q.alpha()));
}

QColor darker(const QColor& c) {
    return QColor(static_cast<int>(c.red() * 0.7), static_cast<int>(c.green() * 0.7),
                  static_cast<int>(c.blue() * 0.7), c.alpha());
}

double glowOf(const QObject* button) {
    bool ok = false;
    double glow = button->property(HOVER).toDouble(&ok);
    return ok ? glow : 0.0;
}

bool hovered(const QAbstractButton* b) {
    return b->underMouse() || b->hasFocus();
}

QTimer* glowTimer(const QObject* button) {
    return qobject_cast<QTimer*>(button->property(TIMER).value<QObject*>());
}

void setTextColour(QWidget* w, const QColor& colour) {
    QPalette p = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::WindowText, colour);
        p.setColor(group, QPalette::ButtonText, colour);
        p.setColor(group, QPalette::Text, colour);
    }
    w->setPalette(p);
}

void setRole(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
    QPalette p = w->palette();
    p.setColor(role, colour);
    w->setPalette(p);
}

// The painter of the button look; one per button, its kind updated by every call of button().
class ButtonLook : public QObject {
public:
    ButtonLook(QAbstractButton* b, bool primary) : QObject(b), primary_(primary) {}
    void setPrimary(bool primary) { primary_ = primary; }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint)
            return false;
        auto* b = static_cast<QAbstractButton*>(watched);
        QPainter p(b);
        paint(p, b);
        return true;
    }

private:
    void paint(QPainter& g, QAbstractButton* b) const {
        Theme::quality(g);
        const int w = b->width(), h = b->height();
        const bool hover = hovered(b), down = b->isDown();
        const double glow = glowOf(b);
        QColor a = primary_ ? blend(QColor(0x65, 0x51, 0xCC), QColor(0x7D, 0x6A, 0xEF), glow)
                            : blend(QColor(0x19, 0x25, 0x3C), QColor(0x2C, 0x41, 0x60), glow);
        QColor z = primary_ ? QColor(0x32, 0x5B, 0xA6) : QColor(0x0F, 0x18, 0x2A);
        if (down) {
            a = darker(a);
            z = darker(z);
        }
        g.setOpacity(b->isEnabled() ? 1.0 : 0.45);
        g.setPen(Qt::NoPen);
        if (hover) {
            g.setBrush(QColor(0x87, 0x67, 0xE0, 38));
            g.drawRoundedRect(QRectF(0, 0, w, h), 8, 8);
        }
        QLinearGradient body(0, 0, w, h);
        body.setColorAt(0, a);
        body.setColorAt(1, z);
        g.setBrush(body);
        g.drawRoundedRect(QRectF(2, 2, w - 4, h - 4), 6, 6);
        QColor outline =
            primary_ ? QColor(0xA9, 0xC8, 0xFF, 180) : QColor(0x82, 0xB8, 0xEB, hover ? 200 : 65);
        g.setBrush(Qt::NoBrush);
        g.setPen(QPen(outline, 1));
        g.drawRoundedRect(QRectF(2, 2, w - 5, h - 5), 6, 6);
        g.setPen(QPen(QColor(255, 255, 255, primary_ ? 60 : 18), 1));
        g.drawLine(QPointF(10, 3), QPointF(w - 10, 3));

        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.state |= QStyle::State_Enabled;  // the opacity, not the disabled colours, marks a disabled button
        opt.state &= ~QStyle::State_HasFocus;
        opt.text = b->text();
        opt.icon = b->icon();
        opt.iconSize = b->iconSize();
        opt.palette.setCurrentColorGroup(QPalette::Active);
        b->style()->drawControl(QStyle::CE_PushButtonLabel, &opt, &g, b);
    }

    bool primary_;
};

// The glow animation: starts the button's timer on every change of its state while it is showing, and
// stops it when the button leaves the displayed tree.
class GlowAnimation : public QObject {
public:
    explicit GlowAnimation(QAbstractButton* b) : QObject(b), button_(b) {
        auto* timer = new QTimer(b);
        timer->setInterval(16);
        b->setProperty(TIMER, QVariant::fromValue<QObject*>(timer));
        connect(timer, &QTimer::timeout, this, [b] { Theme::glowStep(b); });
        connect(b, &QAbstractButton::pressed, this, &GlowAnimation::stateChanged);
        connect(b, &QAbstractButton::released, this, &GlowAnimation::stateChanged);
        connect(b, &QAbstractButton::toggled, this, &GlowAnimation::stateChanged);
        b->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Enter:
            case QEvent::Leave:
            case QEvent::EnabledChange:
            case QEvent::FocusIn:
            case QEvent::FocusOut:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
                // Runs after the event has changed the button's state (posted to the next loop turn).
                QMetaObject::invokeMethod(this, &GlowAnimation::stateChanged, Qt::QueuedConnection);
                break;
            case QEvent::ParentChange:
            case QEvent::Hide:
                if (!button_->isVisible())
                    glowTimer(button_)->stop();
                break;
            default:
                break;
        }
        return false;
    }

private:
    void stateChanged() {
        if (button_->isVisible())
            glowTimer(button_)->start();
    }

    QAbstractButton* button_;
};

// The two sound hooks: hover on entering an enabled button, press when it turns from not pressed to pressed.
// The pressed memory follows the button's own pressed and released signals, which every way of pressing
// emits (mouse, keyboard, mnemonic, click(), disabling a held button), not the input events of a few.
class ButtonSounds : public QObject {
public:
    explicit ButtonSounds(QAbstractButton* b) : QObject(b), button_(b) {
        connect(b, &QAbstractButton::pressed, this, [this] {
            const bool was = button_->property(PRESSED).toBool();
            button_->setProperty(PRESSED, true);
            if (!was && button_->isEnabled())
                playSound(false);
        });
        connect(b, &QAbstractButton::released, this, [this] { button_->setProperty(PRESSED, false); });
        b->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Enter && button_->isEnabled())
            playSound(true);
        return false;
    }

private:
    QAbstractButton* button_;
};

// The slider look, painted over the style's own layout of track and thumb.
class SliderLook : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint)
            return false;
        auto* s = static_cast<QSlider*>(watched);
        QStyleOptionSlider opt;
        opt.initFrom(s);
        opt.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
        opt.orientation = s->orientation();
        opt.minimum = s->minimum();
        opt.maximum = s->maximum();
        opt.sliderPosition = s->sliderPosition();
        opt.sliderValue = s->value();
        opt.singleStep = s->singleStep();
        opt.pageStep = s->pageStep();
        opt.tickPosition = s->tickPosition();
        opt.tickInterval = s->tickInterval();
        opt.upsideDown = s->orientation() == Qt::Horizontal
                             ? s->invertedAppearance() != (s->layoutDirection() == Qt::RightToLeft)
                             : !s->invertedAppearance();
        const QRect track = s->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, s);
        const QRect thumb = s->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, s);
        QPainter g(s);
        Theme::quality(g);
        g.setPen(Qt::NoPen);
        const int y = track.y() + track.height() / 2;
        g.setBrush(QColor(0x22, 0x2E, 0x45));
        g.drawRoundedRect(QRectF(track.x(), y - 3, track.width(), 6), 3, 3);
        QLinearGradient fill(track.x(), 0, track.x() + track.width(), 0);
        fill.setColorAt(0, Theme::VIOLET);
        fill.setColorAt(1, Theme::CYAN);
        g.setBrush(fill);
        g.drawRoundedRect(QRectF(track.x(), y - 3, std::max(0, thumb.x() + thumb.width() / 2 - track.x()), 6),
                          3, 3);
        g.setBrush(QColor(0x5E, 0xD2, 0xF6, 35));
        g.drawEllipse(QRectF(thumb.x(), thumb.y() + 2, 16, 16));
        g.setBrush(Theme::TEXT);
        g.drawEllipse(QRectF(thumb.x() + 3, thumb.y() + 5, 10, 10));
        return true;
    }
};

// The colours, caret, border and margins of a text input; the border and the caret are drawn by the
// theme's style.
void styleInput(QWidget* c, const QColor& background, const QColor& text, const QColor& caret,
                const QColor& border, const QMargins& margins) {
    QPalette p = c->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Base, background);
        p.setColor(group, QPalette::Text, text);
    }
    c->setPalette(p);
    c->setProperty(TessalineStyle::CARET, caret);
    c->setProperty(TessalineStyle::FIELD_BORDER, border);
    c->setProperty(TessalineStyle::FIELD_MARGINS, QVariant::fromValue(margins));
    if (auto* line = qobject_cast<QLineEdit*>(c)) {
        line->setFrame(true);
        line->setTextMargins(margins);
    } else if (auto* edit = qobject_cast<QTextEdit*>(c)) {
        edit->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
        edit->document()->setDocumentMargin(margins.top());  // one margin for all sides in a text document
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(c)) {
        plain->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
        plain->document()->setDocumentMargin(margins.top());
    }
}

}  // namespace

bool Theme::reduced() {
    // GUI thread only, like every painter: the kept answer needs no lock.
    static std::optional<unsigned long> readAt;
    static bool reduced = false;
    if (const unsigned long changes = common::Preferences::changes(); readAt != changes) {
        reduced = common::Preferences("com/orlex/ui").getBoolean("reducedMotion", false);
        readAt = changes;
    }
    return reduced;
}

void Theme::quality(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QFont Theme::sans(int pixelSize, bool bold, bool italic) {
    QFont f(QStringLiteral("Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setItalic(italic);
    return f;
}

double Theme::fontSize(const QFont& font) {
    if (font.pixelSize() > 0)
        return font.pixelSize();
    const double dpi = qApp && QGuiApplication::primaryScreen()
                           ? QGuiApplication::primaryScreen()->logicalDotsPerInchY()
                           : 96.0;
    return font.pointSizeF() * dpi / 72.0;
}

void Theme::installDefaults() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    TessalineStyle::install();
}

void Theme::slider(QSlider* s) {
    s->setAttribute(Qt::WA_OpaquePaintEvent, false);
    s->setAutoFillBackground(false);
    if (!s->property(SLIDER).toBool()) {
        s->setProperty(SLIDER, true);
        s->installEventFilter(new SliderLook(s));
    }
    s->update();
}

void Theme::button(QAbstractButton* b, bool primary) {
    // 1. The painter.
    auto* look = dynamic_cast<ButtonLook*>(b->property(LOOK).value<QObject*>());
    if (look) {
        look->setPrimary(primary);
    } else {
        look = new ButtonLook(b, primary);
        b->setProperty(LOOK, QVariant::fromValue<QObject*>(look));
        b->installEventFilter(look);
    }
    // 2. Transparent, no focus mark, rollover tracking.
    b->setAutoFillBackground(false);
    b->setAttribute(Qt::WA_Hover, true);
    if (auto* push = qobject_cast<QPushButton*>(b))
        push->setFlat(true);
    // 3. Margins: 12 above and below; 8 at the sides without text, 10 when compact, else 18.
    const int side = b->text().isEmpty() ? 8 : b->property("compact").toBool() ? 10 : 18;
    b->setContentsMargins(side, 12, side, 12);
    // 4. Text colour, font, cursor.
    setTextColour(b, TEXT);
    b->setFont(sans(13, true));
    b->setCursor(Qt::PointingHandCursor);
    // 5. The glow animation, once.
    if (!glowTimer(b))
        new GlowAnimation(b);
    // 6. The sound hooks, once.
    if (!b->property(SOUND).toBool()) {
        b->setProperty(SOUND, true);
        new ButtonSounds(b);
    }
    b->updateGeometry();
    b->update();
}

void Theme::glowStep(QAbstractButton* b) {
    const double target = hovered(b) ? 1.0 : 0.0;
    const double old = glowOf(b);
    double next = reduced() ? target : old + (target - old) * 0.24;
    if (std::abs(target - next) < 0.01) {
        next = target;
        if (auto* timer = glowTimer(b))
            timer->stop();
    }
    b->setProperty(HOVER, static_cast<float>(next));
    b->update();
}

void Theme::setSoundPlayer(SoundPlayer player) {
    soundPlayer() = std::move(player);
}

void Theme::themeTree(QWidget* c) {
    // 1. Text antialiasing for the component's text.
    QFont font = c->font();
    if (font.styleStrategy() != QFont::PreferAntialias) {
        font.setStyleStrategy(QFont::PreferAntialias);
        c->setFont(font);
    }
    auto* push = qobject_cast<QPushButton*>(c);
    // 2. Push buttons get the button look of their kind.
    if (push && !push->isCheckable())
        button(push, push->property("primary").toBool());
    // 3. Labels: TEXT; fonts under 22 become the sans-serif face of the same style and size.
    if (auto* label = qobject_cast<QLabel*>(c)) {
        setTextColour(label, TEXT);
        const QFont f = label->font();
        if (fontSize(f) < 22) {
            QFont plain = sans(1, f.bold(), f.italic());
            plain.setPixelSize(static_cast<int>(std::lround(fontSize(f))));
            label->setFont(plain);
        }
    }
    // 4. Sliders.
    if (auto* s = qobject_cast<QSlider*>(c))
        slider(s);
    // 5. Progress bars: CYAN on NIGHT, no border (the style draws them flat).
    if (auto* bar = qobject_cast<QProgressBar*>(c)) {
        setRole(bar, QPalette::Highlight, CYAN);
        setRole(bar, QPalette::Base, NIGHT);
        setRole(bar, QPalette::Window, NIGHT);
    }
    // 6. Text inputs.
    if (qobject_cast<QLineEdit*>(c) || qobject_cast<QTextEdit*>(c) || qobject_cast<QPlainTextEdit*>(c)) {
        styleInput(c, QColor(0x0C, 0x13, 0x22), TEXT, CYAN, QColor(0x3A, 0x4D, 0x69), QMargins(10, 7, 10, 7));
        setRole(c, QPalette::Highlight, QColor(0x48, 0x42, 0x7E));
    }
    // 7. Two-state buttons.
    auto* twoState = qobject_cast<QAbstractButton*>(c);
    if (twoState && twoState->isCheckable()) {
        setTextColour(twoState, TEXT);
        setRole(twoState, QPalette::Button, PANEL);
    }
    // 8. Scroll panes.
    if (auto* area = qobject_cast<QAbstractScrollArea*>(c);
        area && !qobject_cast<QTextEdit*>(c) && !qobject_cast<QPlainTextEdit*>(c)) {
        area->setFrameStyle(QFrame::NoFrame);
        setRole(area->viewport(), QPalette::Window, PANEL);
        setRole(area->viewport(), QPalette::Base, PANEL);
        area->viewport()->setAutoFillBackground(true);
    }
    for (QObject* child : c->children()) {
        if (auto* w = qobject_cast<QWidget*>(child))
            themeTree(w);
    }
}

void Theme::halo(QPainter& painter, double x, double y, double r, const QColor& colour) {
    QRadialGradient gradient(QPointF(x, y), std::max(1.0, r));
    QColor clear = colour;
    clear.setAlpha(0);
    gradient.setColorAt(0, colour);
    gradient.setColorAt(1, clear);
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawEllipse(QPointF(x, y), r, r);
    painter.restore();
}

void styleField(QWidget* field) {
    styleInput(field, QColor(0x0C, 0x19, 0x28), QColor(0xEE, 0xF4, 0xF7), Qt::white, QColor(0x70, 0x65, 0xA3),
               QMargins(8, 6, 8, 6));
    field->setFont(Theme::sans(14));
}

void styleButton(QAbstractButton* button, bool primary) {
    button->setProperty("primary", primary);
    Theme::button(button, primary);
}

QLabel* colouredLabel(const QString& text, const QFont& font, const QColor& colour) {
    auto* label = new QLabel(text);
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
    return label;
}

}  // namespace orlex::ui
