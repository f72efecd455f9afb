#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "launcher/archive.h"
#include "update/platform.h"

namespace orlex::ui {

// How the shortcut refresh runs its script: the system's defaults, which tests replace (another
// platform string, a stand-in program, a shorter limit).
struct ShortcutRefreshSettings {
    std::string platform = update::platform();            // the release platform string of this host
    std::filesystem::path powershell = "powershell.exe";  // found by the host's program search
    std::chrono::milliseconds scriptLimit{20000};         // then the script is terminated
};

// Points every shortcut of the product on this Windows account (desktop, Start menu, pinned task bar)
// at root's "OrlexTessaline.exe" with the product icon. Called by the launcher window's start-up, once
// per window build, before it submits anything else to the worker, so that the refresh runs first.
//
// Does nothing unless settings.platform starts with "windows". Otherwise hands one plain task to
// submit (the launcher's worker thread) and returns. The task, under root:
//  1. makes "userdata" and, when the archive has "/app-icon.png", writes the icon file of that picture
//     (BrandIcon::ico) to "userdata/orlex-v75.ico"; without the picture it ends there, silently;
//  2. copies the archive's "/refresh-shortcuts.ps1" to "userdata/refresh-shortcuts.ps1";
//  3. runs settings.powershell with "-NoProfile -NonInteractive -ExecutionPolicy Bypass -File <script
//     copy> -InstallRoot <root> -IconPath <icon file>" (absolute paths), its output and errors going to
//     "userdata/shortcuts.log";
//  4. terminates the script when it is still running after settings.scriptLimit, and ends.
// Any failure writes "Shortcut refresh failed: " and the failure's type to standard error; nothing is
// reported to the launcher, which does not read the script's result either (the log ends with
// "SHORTCUTS_UPDATED" when the script succeeded). A stop request to the worker while the script runs
// ends the task with common::Interrupted and leaves the script to finish on its own.
void refreshWindowsShortcuts(const std::filesystem::path& root, const launcher::LauncherArchive& archive,
                             const std::function<void(std::function<void()>)>& submit,
                             ShortcutRefreshSettings settings = {});

}  // namespace orlex::ui
