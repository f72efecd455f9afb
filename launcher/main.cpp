#include <iostream>
#include <string>
#include <vector>

#include "common/host.h"
#include "launcher/entry.h"
#include "ui/window_modes.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = orlex::common::programArguments(argc, argv);
    return orlex::launcher::launcherMain(
        arguments, std::cout, std::cerr,
        {.windows = orlex::ui::runWindowModes, .intro = orlex::ui::runWithIntro});
}
