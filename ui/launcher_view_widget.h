#pragma once

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QSize>
#include <optional>
#include <vector>

#include "ui/components.h"

class QAbstractButton;
class QProgressBar;

namespace orlex::ui {

// A one-line label that ends its text with "…" when the text is wider than the label, as the cards'
// lines do in their fixed width; text() keeps the whole text, which a shortened line shows as its
// tooltip. GUI thread only.
class LineLabel : public QLabel {
public:
    explicit LineLabel(const QString& text, QWidget* parent = nullptr);
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// The main window's content below its window bar: the Cosmos backdrop with the release art, the logo
// and the eyebrow line painted over it; the account card (a Surface holding the account panel), the
// installation card (a Surface with the title, the installed, status and transfer lines and the progress
// bar), the tool row, the eyebrow, headline and slogan labels and the main action button, all placed by
// the view itself from its size every time it is laid out. GUI thread only.
class LauncherViewWidget : public Cosmos {
public:
    // The view takes the given widgets as its children (tools in display order; a hidden tool takes no
    // room in the row). Reads the archive's "/backdrop.png" and then "/logo.png" once: an unreadable
    // backdrop leaves both absent, an unreadable logo only the logo. Painting skips what is absent.
    LauncherViewWidget(QWidget* accountPanel, QLabel* installed, QLabel* status, QLabel* transfer,
                       QProgressBar* bar, QAbstractButton* action, const std::vector<QAbstractButton*>& tools,
                       QWidget* parent = nullptr);

    // Places every child again from the current size; also done on each resize and whenever the account
    // panel's preferred size changes.
    void layoutChildren();

    QWidget* accountCard() const { return account_; }
    QWidget* installationCard() const { return installation_; }
    QWidget* toolRow() const { return tools_; }
    QLabel* headline() const { return headline_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    QRegion changedRegion(double t) override;
    QRegion coveredRegion() const override;

private:
    // Margin and left column width for a view of width w.
    static int margin(int w);
    static int leftColumn(int w);
    // The art's drawn size at animation time t (its zoom), in whole pixels.
    QSize artSize(double t) const;
    // The release art inside its rounded clip, under the two gradients, as the painting rules place them
    // for the current size and animation time; kept while its drawn size stays the same.
    const QPixmap& artLayer(double t);
    const QPixmap& logoLayer();

    QWidget* accountPanel_;
    QAbstractButton* action_;
    QWidget* account_;
    QWidget* installation_;
    QWidget* tools_;
    QLabel* eyebrow_;
    QLabel* headline_;
    QLabel* copy_;
    std::optional<QImage> art_;
    std::optional<QImage> logo_;

    QImage artScaled_;  // the art at its largest zoom for artScaledView_
    QSize artScaledView_;
    QPixmap artLayer_;
    QSize artLayerView_;   // the view size the layer was made for
    QSize artLayerDrawn_;  // and the art's drawn size in it
    QPixmap logoLayer_;
    QSize logoLayerView_;
};

}  // namespace orlex::ui
