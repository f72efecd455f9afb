#include "launcher/tests/launcher_fixture.h"

#include <filesystem>

#include "update/signature.h"

namespace orlex::test {

update::Ed25519Key LauncherFixture::key() {
    static const update::Ed25519Key made = update::publicKey(update::generateKeyPair().publicDer);
    return made;
}

launcher::LauncherConfig LauncherFixture::fastConfig(const std::string& channel) const {
    launcher::LauncherConfig config;
    config.root = root.path();
    config.channel = channel;
    config.engine.transport.pause = [](std::chrono::milliseconds) {};
    return config;
}

void LauncherFixture::make(launcher::LauncherConfig config, update::Ed25519Key releaseKey) {
    launcher = std::make_unique<launcher::Launcher>(std::move(config), std::move(releaseKey));
    launcher->attachView(view);
}

std::size_t LauncherFixture::enabledCount() const {
    return view->occurrences("enabled 1 0") + view->occurrences("enabled 1 1");
}

void LauncherFixture::operate(launcher::OperationRunner::Task task) {
    const std::size_t before = enabledCount();
    view->onUi([&] { launcher->runner().run(std::move(task)); });
    view->waitUntil([&] { return enabledCount() > before; });
    view->waitIdle();
}

void LauncherFixture::signInAs(const std::string& name) {
    view->onUi([&] { launcher->session().authenticated({"jeton", name, "wss://127.0.0.1:1/realtime", {}}); });
}

std::string LauncherFixture::log() const {
    const std::filesystem::path file = root / "userdata/launcher.log";
    return std::filesystem::exists(file) ? readFile(file) : std::string();
}

std::size_t LauncherFixture::logReports(const std::string& needle) const {
    const std::string text = log();
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

}  // namespace orlex::test
