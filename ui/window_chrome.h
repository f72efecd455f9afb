#pragma once

#include <QIcon>
#include <QImage>
#include <QString>
#include <functional>
#include <optional>

class QAbstractButton;
class QWidget;

namespace orlex::ui {

// The chrome of the launcher's undecorated windows: their own window bar, its icon-only controls and the
// window icon. GUI thread only.

// The window bar of window (not null): background #08071C, inner margins 0, 12, 0, 4 (top, left, bottom,
// right), 38 px high across the window's width. At its left the title in #A38CCA, sans-serif bold 10 (an
// empty title shows nothing); at its right, without gaps, the minimise control ("Réduire", calling
// minimize) then the close control ("Fermer", calling close). Dragging the bar with a mouse button held
// (the press outside the controls) moves window: its position becomes the pointer's screen position minus
// the press position relative to the bar. The bar is returned without a parent; the caller places it.
QWidget* windowBar(QWidget* window, std::function<void()> minimize, std::function<void()> close,
                   const QString& title);

// One icon-only control of a window bar: 42x36, painting only its icon (centred, at the icon's own size;
// no background, border or focus mark). A click runs action. Controls take no keyboard focus, like a
// system title bar's buttons. Returned without a parent.
QAbstractButton* windowControl(const QIcon& icon, std::function<void()> action, const QString& tip);

// The window icon: the launcher archive's "/app-icon.png" with its dark matte made transparent
// (BrandIcon::transparentMatte). nullopt when the archive, the resource or the picture cannot be read;
// the window then keeps the platform's default icon. Never throws.
std::optional<QImage> appIcon();

}  // namespace orlex::ui
