#pragma once

#include "launcher/entry.h"
#include "launcher/launcher.h"

namespace orlex::ui {

// The window modes of the launcher program (launcher::WindowModes, given to launcherMain by
// orlex-launcher). On the main thread, which becomes the GUI thread: makes the Qt application, installs
// the theme, opens launcher's main window (MainWindow::open), calls start.windowShown, and runs the event
// loop until the window is closed (status 0). The folder action's launchers are made and owned here, each
// on its chosen root with launcher's configuration otherwise and the release key of the process's
// archive; they and their windows go when this returns.
//
// Self-check (start.selfCheck): 4.5 s after the window is up, a PNG of the window's screen rectangle
// (the window's own rendering where the platform cannot read the screen) is written to
// start.screenshot, "LAUNCHER_UI_PASS" is printed to *start.out, and the status is 0. A picture that
// cannot be written fails with IoFailure("Capture impossible : <path>").
//
// Before returning, every launcher's operations and probe are stopped, so that nothing posts to the
// ended application.
int runWindowModes(launcher::Launcher& launcher, const launcher::WindowStart& start);

// The intro host of command mode (launcher::IntroHost): makes the Qt application on the main thread,
// attaches a SplashIntro to launcher, runs commands on the thread "orlex-commands" while the main thread
// processes the intro's events, and ends the event loop when commands ends; returns its status or
// rethrows its failure.
int runWithIntro(launcher::Launcher& launcher, const std::function<int()>& commands);

}  // namespace orlex::ui
