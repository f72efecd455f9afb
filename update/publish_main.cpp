#include <iostream>

#include "common/host.h"
#include "update/publish.h"

// Arguments arrive as UTF-8 on every host (on Windows from the wide command line, not the code page).
int main(int argc, char** argv) {
    return orlex::update::publishMain(orlex::common::programArguments(argc, argv), std::cout, std::cerr);
}
