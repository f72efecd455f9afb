#include "tests/support/files.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

namespace orlex::test {

std::filesystem::path writeFile(const std::filesystem::path& path, std::string_view content) {
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    return path;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    const std::string text = readFile(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string randomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(engine() & 0xff);
    return out;
}

std::vector<std::string> listFiles(const std::filesystem::path& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            files.push_back(entry.path().lexically_relative(dir).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace orlex::test
