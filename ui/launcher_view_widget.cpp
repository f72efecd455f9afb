#include "ui/launcher_view_widget.h"

#include <QAbstractButton>
#include <QEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "launcher/archive.h"
#include "ui/components.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

// The archive's picture at name, or nullopt when it is missing or cannot be read.
std::optional<QImage> archivePicture(const char* name) {
    try {
        const std::optional<launcher::Bytes> bytes = launcher::launcherArchive().resource(name);
        if (!bytes)
            return std::nullopt;
        QImage picture = QImage::fromData(bytes->data(), static_cast<int>(bytes->size()));
        if (picture.isNull())
            return std::nullopt;
        return picture;
    } catch (...) {
        return std::nullopt;  // an unreadable archive counts as a missing picture
    }
}

}  // namespace

LineLabel::LineLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

QSize LineLabel::minimumSizeHint() const {
    return {0, sizeHint().height()};
}

bool LineLabel::event(QEvent* event) {
    // A shortened line shows its whole text as a tooltip.
    if (event->type() == QEvent::ToolTip) {
        if (fontMetrics().horizontalAdvance(text()) > contentsRect().width())
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

void LineLabel::paintEvent(QPaintEvent*) {
    QPainter g(this);
    const QRect area = contentsRect();
    g.setPen(palette().color(QPalette::WindowText));
    g.setFont(font());
    g.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

LauncherViewWidget::LauncherViewWidget(QWidget* accountPanel, QLabel* installed, QLabel* status,
                                       QLabel* transfer, QProgressBar* bar, QAbstractButton* action,
                                       const std::vector<QAbstractButton*>& tools, QWidget* parent)
    : Cosmos(parent), accountPanel_(accountPanel), action_(action) {
    account_ = new Surface(this);
    account_->setContentsMargins(24, 16, 24, 16);
    auto* accountLayout = new QVBoxLayout(account_);
    accountLayout->setContentsMargins(0, 0, 0, 0);
    accountLayout->addWidget(accountPanel);

    installation_ = new Surface(this);
    installation_->setContentsMargins(24, 20, 24, 20);
    auto* stack = new QVBoxLayout(installation_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addWidget(colouredLabel("ORLEX TESSALINE", Theme::sans(11, true), Theme::TEXT));
    stack->addSpacing(12);
    stack->addWidget(installed);
    stack->addSpacing(8);
    stack->addWidget(status);
    stack->addSpacing(14);
    stack->addWidget(bar);
    stack->addSpacing(8);
    stack->addWidget(transfer);
    stack->addStretch(1);
    for (QLabel* line : {installed, status, transfer}) {
        line->setFont(Theme::sans(12));
        QPalette p = line->palette();
        p.setColor(QPalette::WindowText, Theme::MUTED);
        line->setPalette(p);
    }
    QPalette colours = bar->palette();
    colours.setColor(QPalette::Highlight, Theme::CYAN);
    colours.setColor(QPalette::Base, Theme::NIGHT);
    bar->setPalette(colours);
    bar->setFixedHeight(5);

    tools_ = new QWidget(this);
    auto* row = new QHBoxLayout(tools_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    for (QAbstractButton* tool : tools)
        row->addWidget(tool);
    row->addStretch(1);

    action->setParent(this);
    eyebrow_ = colouredLabel("ORLEX  /  TESSALINE", Theme::sans(11), Theme::MUTED);
    headline_ = colouredLabel("Entrez en Tessaline.", Theme::sans(36, true), Theme::TEXT);
    copy_ = colouredLabel("Rencontrez. Explorez. Tessaline.", Theme::sans(15), Theme::MUTED);
    for (QLabel* label : {eyebrow_, headline_, copy_})
        label->setParent(this);

    art_ = archivePicture("/backdrop.png");
    if (art_)
        logo_ = archivePicture("/logo.png");
    layoutChildren();
}

int LauncherViewWidget::margin(int w) {
    return w < 1100 ? 28 : 42;
}

int LauncherViewWidget::leftColumn(int w) {
    return std::min(370, (w - 3 * margin(w)) / 2);
}

void LauncherViewWidget::layoutChildren() {
    const int w = width(), h = height();
    const int m = margin(w);
    const int left = leftColumn(w);
    const int right = m + left + 36;
    const int rightWidth = w - right - m;

    // The account panel shows one card at a time: its visible card decides the height.
    int preferred = 120;
    for (QWidget* card : accountPanel_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!card->isWindow() && card->isVisibleTo(accountPanel_))
            preferred = std::max(120, card->sizeHint().height() + 52);
    }
    const int accountHeight = std::min(preferred, std::max(120, h - 354));

    account_->setGeometry(m, 90, left, accountHeight);
    installation_->setGeometry(m, h - 240, left, 160);
    tools_->setGeometry(m, h - 64, left + 80, 46);
    eyebrow_->setGeometry(right, h - 248, rightWidth, 22);
    headline_->setGeometry(right, h - 218, rightWidth, 50);
    copy_->setGeometry(right, h - 159, rightWidth, 28);
    action_->setGeometry(right, h - 83, std::min(rightWidth, 310), 54);

    QFont font = headline_->font();
    font.setPixelSize(std::max(22, std::min(36, rightWidth / 16)));
    headline_->setFont(font);
}

void LauncherViewWidget::resizeEvent(QResizeEvent* event) {
    layoutChildren();
    Cosmos::resizeEvent(event);
}

bool LauncherViewWidget::event(QEvent* event) {
    // A child's preferred size changed (the account panel switched cards): place everything again.
    if (event->type() == QEvent::LayoutRequest)
        layoutChildren();
    return Cosmos::event(event);
}

QSize LauncherViewWidget::artSize(double t) const {
    const int w = width(), h = height();
    const int x = margin(w) + leftColumn(w) + 12;
    const double zoom = 1 + std::sin(0.08 * t) * 0.008;
    const double scale =
        std::max(static_cast<double>(w - x) / art_->width(), static_cast<double>(h - 80) / art_->height()) *
        zoom;
    return {static_cast<int>(art_->width() * scale), static_cast<int>(art_->height() * scale)};
}

QRegion LauncherViewWidget::changedRegion(double t) {
    // The art's zoom shows only when its drawn size changes, every few seconds.
    if (!art_ || artSize(t) == artLayerDrawn_)
        return {};
    const int w = width(), h = height();
    const int x = margin(w) + leftColumn(w) + 12;
    return QRegion(x, 26, w - x - 22, h - 112);
}

QRegion LauncherViewWidget::coveredRegion() const {
    // The art is opaque inside its clip; the rounded corners (radius 16) are left out.
    if (!art_)
        return {};
    const int w = width(), h = height();
    const int x = margin(w) + leftColumn(w) + 12;
    return QRegion(x + 16, 26 + 16, w - x - 22 - 32, h - 112 - 32);
}

const QPixmap& LauncherViewWidget::artLayer(double t) {
    const int w = width(), h = height();
    const int x = margin(w) + leftColumn(w) + 12;
    const QSize drawn = artSize(t);
    if (artLayerView_ == size() && artLayerDrawn_ == drawn)
        return artLayer_;

    // The layer covers the view; only the clipped area is painted, the rest stays transparent.
    const qreal ratio = devicePixelRatioF();
    artLayer_ = QPixmap(size() * ratio);
    artLayer_.setDevicePixelRatio(ratio);
    artLayer_.fill(Qt::transparent);
    QPainter g(&artLayer_);
    Theme::quality(g);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(x, 26, w - x - 22, h - 112), 16, 16);
    g.setClipPath(clip);
    // Drawn from the art resampled once per view size at its largest zoom: scaling that copy down by
    // less than 2 % each time the zoom changes costs far less than scaling the full picture.
    if (artScaledView_ != size()) {
        const QSize largest = artSize(M_PI / 2 / 0.08);
        artScaled_ = art_->scaled(largest, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        artScaledView_ = size();
    }
    g.drawImage(QRect(x + (w - x - drawn.width()) / 2, 26 + (h - 80 - drawn.height()) / 2, drawn.width(),
                      drawn.height()),
                artScaled_);
    QLinearGradient across(x, 0, w, 0);
    across.setColorAt(0, QColor(0x0A, 0x0A, 0x1D, 170));
    across.setColorAt(1, QColor(0x07, 0x0D, 0x1A, 15));
    g.fillRect(QRect(x, 26, w - x, h), across);
    QLinearGradient down(0, 0.37 * h, 0, h - 105);
    down.setColorAt(0, QColor(0x08, 0x0A, 0x19, 0));
    down.setColorAt(1, QColor(0x08, 0x0A, 0x19, 245));
    g.fillRect(QRect(x, 26, w - x, h), down);
    artLayerView_ = size();
    artLayerDrawn_ = drawn;
    return artLayer_;
}

const QPixmap& LauncherViewWidget::logoLayer() {
    if (logoLayerView_ == size())
        return logoLayer_;
    const int w = width();
    const int x = margin(w) + leftColumn(w) + 12;
    const double scale = std::min(static_cast<double>(w - x - 70) / logo_->width(), 180.0 / logo_->height());
    const QSize drawn(std::max(0, static_cast<int>(logo_->width() * scale)),
                      std::max(0, static_cast<int>(logo_->height() * scale)));
    const qreal ratio = devicePixelRatioF();
    logoLayer_ = QPixmap(drawn * ratio);
    logoLayer_.setDevicePixelRatio(ratio);
    logoLayer_.fill(Qt::transparent);
    QPainter g(&logoLayer_);
    Theme::quality(g);
    g.drawImage(QRect(QPoint(0, 0), drawn), *logo_);
    logoLayerView_ = size();
    return logoLayer_;
}

void LauncherViewWidget::paintEvent(QPaintEvent* event) {
    QPainter g(this);
    const double t = time();
    paintFrameBackdrop(g, t, event->region());

    const int w = width(), h = height();
    const int x = margin(w) + leftColumn(w) + 12;
    if (art_ && w - x > 0 && h > 80) {
        drawKeptPlaces(g, artLayer(t), event->region());  // small blits, as for the backdrop
    }
    if (logo_ && w - x - 70 > 0) {
        const QPixmap& logo = logoLayer();
        const int logoWidth = static_cast<int>(logo.width() / logo.devicePixelRatio());
        g.drawPixmap(x + (w - x - logoWidth) / 2, 65, logo);
    }

    Theme::quality(g);
    g.setPen(QPen(QColor(0x99, 0x88, 0xCC, 70), 1));
    g.drawLine(42, 50, 68, 50);
    g.setFont(Theme::sans(11, true));
    g.setPen(Theme::MUTED);
    g.drawText(QPointF(80, 54), "T E S S A L I N E   /   L A U N C H E R");
    g.setPen(QPen(QColor(0x9C, 0x89, 0xD2, 28), 1));
    g.drawLine(42, h - 99, w - 42, h - 99);
}

}  // namespace orlex::ui
