#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orlex::test {

// Writes text (creating parent directories) and returns the path.
std::filesystem::path writeFile(const std::filesystem::path& path, std::string_view content);
std::string readFile(const std::filesystem::path& path);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);

// Deterministic pseudo-random content of the given size.
std::string randomBytes(std::size_t size, std::uint32_t seed = 1);

// Relative "/"-separated paths of the regular files under dir, sorted.
std::vector<std::string> listFiles(const std::filesystem::path& dir);

}  // namespace orlex::test
