#include "ui/shortcut_refresh.h"

#include <QImage>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/interruption.h"
#include "common/process.h"
#include "common/type_name.h"
#include "common/utf8.h"
#include "ui/brand_icon.h"
#include "update/atomic_write.h"

namespace orlex::ui {
namespace {

namespace fs = std::filesystem;

void refresh(const fs::path& root, const launcher::LauncherArchive& archive,
             const ShortcutRefreshSettings& settings) {
    std::error_code error;
    const fs::path installRoot = fs::absolute(root, error).lexically_normal();
    if (error)
        throw common::IoFailure("Dossier inaccessible : " + root.string() + " (" + error.message() + ")");
    const fs::path userdata = installRoot / "userdata";
    const fs::path iconFile = userdata / "orlex-v75.ico";
    common::createDirectories(userdata);

    const std::optional<launcher::Bytes> icon = archive.resource("/app-icon.png");
    if (!icon)
        return;
    QImage picture;
    if (icon->size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !picture.loadFromData(icon->data(), static_cast<int>(icon->size())))
        throw common::IoFailure("Icône ORLEX illisible : /app-icon.png");
    update::atomicWrite(iconFile, BrandIcon::ico(picture));

    const std::optional<launcher::Bytes> script = archive.resource("/refresh-shortcuts.ps1");
    if (!script)
        throw common::IoFailure("Ressource absente : /refresh-shortcuts.ps1");
    const fs::path scriptCopy = userdata / "refresh-shortcuts.ps1";
    update::atomicWrite(scriptCopy, *script);

    common::ChildProcess powershell = common::ChildProcess::start({
        .program = settings.powershell,
        .arguments = {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-File",
                      common::utf8Of(scriptCopy), "-InstallRoot", common::utf8Of(installRoot), "-IconPath",
                      common::utf8Of(iconFile)},
        .outputFile = userdata / "shortcuts.log",
    });
    if (!powershell.waitFor(settings.scriptLimit))
        powershell.terminate();
}

}  // namespace

void refreshWindowsShortcuts(const fs::path& root, const launcher::LauncherArchive& archive,
                             const std::function<void(std::function<void()>)>& submit,
                             ShortcutRefreshSettings settings) {
    if (!settings.platform.starts_with("windows"))
        return;
    submit([root, archive, settings = std::move(settings)] {
        try {
            refresh(root, archive, settings);
        } catch (const common::Interrupted&) {
            throw;
        } catch (const std::exception& failure) {
            std::cerr << "Shortcut refresh failed: " << common::typeName(typeid(failure)) << std::endl;
        }
    });
}

}  // namespace orlex::ui
