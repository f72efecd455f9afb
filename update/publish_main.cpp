#include <iostream>
#include <string>
#include <vector>

#include "update/publish.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return orlex::update::publishMain(arguments, std::cout, std::cerr);
}
