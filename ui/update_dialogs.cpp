#include "ui/update_dialogs.h"

#include <QDialog>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/theme.h"

namespace orlex::ui {
namespace {

const QColor CARD{0x18, 0x23, 0x34};
const QColor CARD_LINE{0x7F, 0xC2, 0xB4};
const QColor TITLE{0xE0, 0xEF, 0xE9};
const QColor TEXT{0xC7, 0xD5, 0xE2};

// The prompt's window: its card painted over the whole of it; closing it any other way than through
// accept() is refused.
class PromptDialog : public QDialog {
public:
    explicit PromptDialog(QWidget* owner)
        : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
        setWindowModality(Qt::ApplicationModal);
    }
    void reject() override {}  // Escape and close requests

protected:
    void closeEvent(QCloseEvent* event) override {
        if (result() != Accepted)
            event->ignore();
    }
    void paintEvent(QPaintEvent*) override {
        QPainter g(this);
        g.fillRect(rect(), CARD);
        g.setPen(CARD_LINE);
        g.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

}  // namespace

void runUpdatePrompt(QWidget* owner, const UpdatePrompt& prompt) {
    PromptDialog dialog(owner);
    dialog.setWindowTitle(prompt.windowTitle);
    auto* stack = new QVBoxLayout(&dialog);
    stack->setContentsMargins(1 + 32, 1 + 28, 1 + 32, 1 + 26);  // the line, then the inner margins
    stack->setSpacing(0);
    stack->addWidget(colouredLabel(prompt.title, Theme::sans(17, true), TITLE));
    stack->addSpacing(16);
    stack->addWidget(colouredLabel(prompt.text, prompt.textFont, TEXT));
    stack->addSpacing(24);
    auto* button = new QPushButton(prompt.button);
    styleButton(button, true);
    stack->addWidget(button, 0, Qt::AlignLeft);
    stack->addStretch(1);
    QObject::connect(button, &QPushButton::clicked, &dialog, &QDialog::accept);

    dialog.adjustSize();
    dialog.resize(dialog.size().expandedTo(prompt.minimum));
    dialog.move(owner->geometry().center() - dialog.rect().center());
    button->setFocus();
    dialog.exec();
}

DimOverlay::DimOverlay(QWidget* window) : QWidget(window) {
    setObjectName("dim-overlay");
    window->installEventFilter(this);
    hide();
}

void DimOverlay::paintEvent(QPaintEvent*) {
    QPainter g(this);
    g.fillRect(rect(), QColor(0x05, 0x09, 0x10, 178));
}

void DimOverlay::showEvent(QShowEvent* event) {
    setGeometry(parentWidget()->rect());
    raise();
    QWidget::showEvent(event);
}

bool DimOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

}  // namespace orlex::ui
