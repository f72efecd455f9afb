#include "ui/window_chrome.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

#include "launcher/archive.h"
#include "ui/brand_icon.h"
#include "ui/icons.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

const QColor BAR_BACKGROUND{0x08, 0x07, 0x1C};
const QColor BAR_TITLE{0xA3, 0x8C, 0xCA};
constexpr int BAR_HEIGHT = 38;

// The bar: its own background, and the drag that moves its window. A press on a control is taken by the
// control and never reaches the bar.
class WindowBar : public QWidget {
public:
    explicit WindowBar(QWidget* window) : window_(window) {
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, BAR_BACKGROUND);
        setPalette(p);
        setFixedHeight(BAR_HEIGHT);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        pressed_ = event->position().toPoint();
        dragging_ = true;
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_ && (event->buttons() & Qt::AllButtons))
            window_->move(event->globalPosition().toPoint() - pressed_);
    }
    void mouseReleaseEvent(QMouseEvent*) override { dragging_ = false; }

private:
    QWidget* window_;
    QPoint pressed_;
    bool dragging_ = false;
};

class WindowControl : public QAbstractButton {
public:
    WindowControl() {
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::PointingHandCursor);
    }
    QSize sizeHint() const override { return {42, 36}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter g(this);
        const QSize size = iconSize();
        const QRect area((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(),
                         size.height());
        icon().paint(&g, area);
    }
};

}  // namespace

QWidget* windowBar(QWidget* window, std::function<void()> minimize, std::function<void()> close,
                   const QString& title) {
    auto* bar = new WindowBar(window);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(12, 0, 4, 0);
    layout->setSpacing(0);

    auto* label = new QLabel(title);
    label->setFont(Theme::sans(10, true));
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, BAR_TITLE);
    label->setPalette(p);
    layout->addWidget(label);
    layout->addStretch(1);

    layout->addWidget(windowControl(WindowIcon(false).icon(), std::move(minimize), "Réduire"));
    layout->addWidget(windowControl(WindowIcon(true).icon(), std::move(close), "Fermer"));
    return bar;
}

QAbstractButton* windowControl(const QIcon& icon, std::function<void()> action, const QString& tip) {
    auto* control = new WindowControl;
    control->setIcon(icon);
    control->setIconSize(QSize(14, 14));
    control->setToolTip(tip);
    control->setFixedSize(control->sizeHint());
    QObject::connect(control, &QAbstractButton::clicked, control, [action = std::move(action)] { action(); });
    return control;
}

std::optional<QImage> appIcon() {
    try {
        const std::optional<launcher::Bytes> bytes = launcher::launcherArchive().resource("/app-icon.png");
        if (!bytes)
            return std::nullopt;
        const QImage picture = QImage::fromData(bytes->data(), static_cast<int>(bytes->size()));
        if (picture.isNull())
            return std::nullopt;
        return BrandIcon::transparentMatte(picture);
    } catch (...) {
        return std::nullopt;  // an unreadable archive: the platform's default icon stays
    }
}

}  // namespace orlex::ui
