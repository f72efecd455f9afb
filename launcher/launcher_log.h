#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace orlex::launcher {

inline constexpr std::uintmax_t LOG_ROTATION_BYTES = 2'097'152;

// Appends one entry ("<instant> <message><line separator>") to root/userdata/launcher.log in a single
// write, first moving a log of LOG_ROTATION_BYTES or more to launcher.log.1. Usable before any
// Launcher exists, from any thread or process. Never fails: a failure loses the entry.
void appendLauncherLog(const std::filesystem::path& root, const std::string& message);

// ISO-8601 in UTC with a trailing "Z"; seconds always present, the fraction with 0, 3, 6 or 9 digits,
// whichever is the shortest exact form.
std::string isoInstant(std::chrono::system_clock::time_point instant);

}  // namespace orlex::launcher
