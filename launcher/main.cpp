#include <iostream>
#include <string>
#include <vector>

#include "launcher/entry.h"
#include "ui/window_modes.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return orlex::launcher::launcherMain(
        arguments, std::cout, std::cerr,
        {.windows = orlex::ui::runWindowModes, .intro = orlex::ui::runWithIntro});
}
