// The engine's own files on a temporary root, read through its public interface with a channel that is
// never reached: the first byte chooses what the rest of the input becomes.
//   even: the pointer file "current" (an intact release signed with the fixed key is installed beside it);
//   odd:  a release's manifest.json, signed with the fixed key, that "current" names.
// installed(), plan() and verifiedRelease() must answer with a release that matches the pointer or fail
// with the engine's failures.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/failure.h"
#include "common/text.h"
#include "fuzz/fuzz_support.h"
#include "update/digest.h"
#include "update/patcher.h"

namespace orlex::fuzz {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        broken("cannot write " + path.string());
}

void writeText(const fs::path& path, std::string_view text) {
    writeFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Places a release under root/releases/<id> and returns its id.
std::string placeRelease(const fs::path& root, std::span<const std::uint8_t> manifest) {
    const std::string id = update::hash(manifest);
    const fs::path dir = root / "releases" / id;
    fs::create_directories(dir);
    writeFile(dir / "manifest.json", manifest);
    writeFile(dir / "manifest.sig", update::sign(fixedPrivateKey(), manifest));
    return id;
}

// The intact release, with its one file.
std::string placeIntactRelease(const fs::path& root) {
    const std::string text = intactManifestText();
    const std::string id =
        placeRelease(root, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    fs::create_directories(root / "releases" / id / "app");
    writeText(root / "releases" / id / "app" / "game.jar", INTACT_CONTENT);
    return id;
}

struct Engine {
    fs::path root = scratchDirectory() / "root";
    std::string intact = placeIntactRelease(root);
    update::Patcher patcher{"https://127.0.0.1:9/channel/", fixedPublicKey(), root, PRODUCT,
                            update::PatcherSettings{.now = [] { return NOW; }, .cores = [] { return 1u; }}};
};

void drive(update::Patcher& patcher, const std::optional<std::string>& pointed) {
    const std::optional<update::Signed> release = patcher.installed();
    expect(release.has_value() || pointed.has_value(), "a release without a pointer");
    if (!release)
        return;
    expect(pointed && pointed->substr(0, 64) == release->id, "release does not match its pointer");
    const update::Plan plan = patcher.plan(*release);
    expect(plan.files >= 0 && plan.bytes >= 0 && plan.intact.size() == release->manifest.files.size(),
           "plan");
    const fs::path dir = patcher.verifiedRelease();
    expect(dir == patcher.root() / "releases" / *pointed, "verified directory");
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    static Engine engine;
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::optional<std::string> pointed;
    if (data[0] % 2 == 0) {
        writeFile(engine.root / "current", rest);
        pointed = std::string(common::trimmed(textOf(rest.data(), rest.size())));
    } else {
        const std::string id = placeRelease(engine.root, rest);
        writeText(engine.root / "current", id);
        pointed = id;
    }
    try {
        drive(engine.patcher, pointed);
    } catch (const common::SecurityFailure&) {
    } catch (const common::IoFailure&) {
    } catch (const common::FormatFailure&) {
        // A signed manifest that is no manifest at all fails as the codec fails.
    }
    if (data[0] % 2 != 0 && pointed != engine.intact)
        fs::remove_all(engine.root / "releases" / *pointed);
    return 0;
}
