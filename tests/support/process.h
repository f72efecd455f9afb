#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orlex::test {

struct ProcessResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs a program to its end with the given arguments (no shell), capturing both output streams.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// A program built in this build tree, by its target's output name.
std::filesystem::path builtProgram(const std::string& name);

}  // namespace orlex::test
