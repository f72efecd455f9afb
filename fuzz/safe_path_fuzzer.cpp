// safe(dir, name) over any name: what it accepts lies within dir, has no "." or ".." element and passes
// through no link; what it refuses, it refuses with the engine's own failures. The directory holds a
// link out of it and a file, so names through them are tried too.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/failure.h"
#include "fuzz/fuzz_support.h"
#include "update/paths.h"

namespace orlex::fuzz {
namespace {

namespace fs = std::filesystem;

struct Tree {
    fs::path root;
    std::vector<fs::path> dirs;  // forms of the same directory and of one below it
};

const Tree& tree() {
    static const Tree made = [] {
        const fs::path root = scratchDirectory() / "root";
        fs::create_directories(root / "app" / "bin");
        fs::create_directory_symlink("/", root / "out");
        fs::create_directory_symlink(root / "app", root / "app" / "again");
        if (FILE* file = std::fopen((root / "app" / "game.jar").c_str(), "w"))
            std::fclose(file);
        return Tree{
            root,
            {root, root.string() + "/", root / "app" / ".." / "app", root / "app" / "bin", root / "missing"}};
    }();
    return made;
}

void checkAccepted(const fs::path& dir, const std::string& name, const fs::path& result) {
    expect(update::isWithin(result, dir), "outside the directory");
    expect(result.is_absolute() && result == result.lexically_normal(), "not normalised");
    for (const fs::path& piece : result)
        expect(piece != ".." && piece != ".", "dot element");
    expect(!name.empty() && name.size() <= update::MAX_RELEASE_NAME, "name length");
    // Nothing from the directory down is a link.
    fs::path walked = update::normalised(dir);
    for (const fs::path& piece : result.lexically_relative(walked)) {
        walked /= piece;
        std::error_code error;
        expect(!fs::is_symlink(fs::symlink_status(walked, error)), "through a link");
    }
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    const Tree& t = tree();
    if (size == 0) {
        try {
            (void)update::safe(t.root, std::nullopt);
            broken("absent name accepted");
        } catch (const common::SecurityFailure&) {
        }
        return 0;
    }
    const fs::path& dir = t.dirs[data[0] % t.dirs.size()];
    const std::string name(textOf(data + 1, size - 1));
    try {
        checkAccepted(dir, name, update::safe(dir, name));
    } catch (const common::SecurityFailure&) {
    } catch (const common::IoFailure&) {
    }
    return 0;
}
