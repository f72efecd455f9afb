#pragma once

#include <exception>
#include <filesystem>

namespace orlex::launcher {

// The studio intro before the game, and the holding screen it leaves up while the game loads. The
// launcher core has no widgets: the program's user interface attaches one (ui/splash_intro.h).
class IntroScreen {
public:
    virtual ~IntroScreen() = default;

    // Plays the intro archive "velkor-games-intro.zip" beside film and keeps its window up as the
    // holding screen. Blocks the calling thread (never the UI thread) until the intro has played;
    // returns nullptr then, or the failure, after which no intro window is left.
    virtual std::exception_ptr playHeld(const std::filesystem::path& film) = 0;
    // Closes the holding screen when one is up. Any thread; returns at once.
    virtual void closeHeld() = 0;
};

}  // namespace orlex::launcher
