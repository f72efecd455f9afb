#include "tests/support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/uuid.h"
#include "tests/support/files.h"

extern char** environ;

namespace orlex::test {

ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    const std::filesystem::path capture =
        std::filesystem::temp_directory_path() / ("orlex-capture-" + common::randomUuid());
    const std::string outPath = capture.string() + ".out";
    const std::string errPath = capture.string() + ".err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> all{program.string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + program.string());

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("cannot wait for " + program.string());
    }
    ProcessResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return result;
}

std::filesystem::path builtProgram(const std::string& name) {
    // Programs live in their module's folder of the build tree.
    for (const auto& module : std::filesystem::directory_iterator(ORLEX_BINARY_DIR)) {
        const std::filesystem::path candidate = module.path() / name;
        if (module.is_directory() && std::filesystem::is_regular_file(candidate))
            return candidate;
    }
    throw std::runtime_error("program not built: " + name);
}

}  // namespace orlex::test
