#pragma once

class QWidget;

namespace orlex::audio {
class AudioDirector;
}

namespace orlex::ui {

// The sound and animation settings: a Surface card with one slider (0 to 100) for the master volume
// and one per bus in the buses' order ("Volume général", "Musique", "Ambiance", "Météo", "Effets",
// "Interface"), then the check box "Réduire les animations". A slider starts at its volume × 100,
// rounded, and hands every change of its value, also while it is dragged, to the director as a
// fraction; the check box shows and stores the theme's reduced-motion preference. Themed (the theme
// pass) before it is returned.
// GUI thread. The director must outlive the panel: the caller closes it when the panel goes.
QWidget* audioSettings(audio::AudioDirector& director, QWidget* parent = nullptr);

}  // namespace orlex::ui
