#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <QWidget>

namespace orlex::ui {

// What one update prompt says: its window title, its card's title and text, the text's font and its
// one button; the dialog is never smaller than minimum.
struct UpdatePrompt {
    QString windowTitle;
    QString title;
    QString text;
    QFont textFont;
    QString button;
    QSize minimum;
};

// Opens the prompt as a dialog owned by owner (not null): modal for the whole application, undecorated,
// always on top, deaf to close requests and Escape, so that its button is the only way out. Its card:
// background #182334, a 1 px #7FC2B4 line around inner margins 28, 32, 26, 32, and, left-aligned, the
// title (sans-serif bold 17, #E0EFE9), a 16 px gap, the text (#C7D5E2), a 24 px gap and the primary
// button. Packed size, at least prompt.minimum, centred over owner. Blocks in a nested event loop until
// the button is pressed; the dialog is gone when it returns. GUI thread.
void runUpdatePrompt(QWidget* owner, const UpdatePrompt& prompt);

// A layer that dims the whole of its parent window: transparent but for a #050910 alpha 178 fill, kept
// over every other child and at the parent's size. Created hidden; object name "dim-overlay". GUI thread.
class DimOverlay : public QWidget {
public:
    explicit DimOverlay(QWidget* window);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace orlex::ui
