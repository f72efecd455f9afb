#pragma once

#include <exception>
#include <filesystem>

#include "launcher/intro_screen.h"
#include "ui/splash_video.h"

namespace orlex::ui {

// The game's intro and holding screen for the launcher core: the studio intro of SplashVideo on the
// system's sound devices. Needs the Qt application, its GUI thread processing events.
class SplashIntro : public launcher::IntroScreen {
public:
    std::exception_ptr playHeld(const std::filesystem::path& film) override { return video_.playHeld(film); }
    void closeHeld() override { SplashVideo::closeHeld(); }

private:
    SplashVideo video_;
};

}  // namespace orlex::ui
