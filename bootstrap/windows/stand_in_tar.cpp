// tar.exe for wine's system directory in the installer's tests (wine has none): unpacks a zip the way the
// installer calls the system's tar, `tar.exe -xf ZIP -C DIRECTORY`, for zips whose entries are all stored
// (method 0), like the stand-in runtime zip. Entry names use '/'; names ending in '/' are directories.
// Exit status 0 when every entry was written; 2 for a wrong command line; 1 for anything else.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr std::uintmax_t ZIP_CAP = 256u << 20;  // the stand-in runtime is a few hundred KB
constexpr std::size_t END_RECORD_SIZE = 22;
constexpr std::size_t CENTRAL_ENTRY_SIZE = 46;
constexpr std::size_t LOCAL_HEADER_SIZE = 30;

struct Failure {
    std::string message;
};

// Little-endian field of width bytes at offset, inside zip.
std::uint32_t field(const std::string& zip, std::size_t offset, std::size_t width) {
    if (offset > zip.size() || width > zip.size() - offset)
        throw Failure{"truncated zip"};
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(zip[offset + i]);
    return value;
}

std::string readZip(const std::filesystem::path& path) {
    if (std::filesystem::file_size(path) > ZIP_CAP)
        throw Failure{"zip too large"};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot open the zip"};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A relative name without "." or ".." parts, so that it stays under the target directory.
bool safeName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
        name.find(':') != std::string_view::npos)
        return false;
    for (const auto& part : std::filesystem::path(name))
        if (part == "." || part == "..")
            return false;
    return true;
}

void unpack(const std::string& zip, const std::filesystem::path& target) {
    if (zip.size() < END_RECORD_SIZE)
        throw Failure{"not a zip"};
    // The end record is the last one: the stand-in zips carry no comment.
    const std::size_t end = zip.size() - END_RECORD_SIZE;
    if (field(zip, end, 4) != 0x06054b50)
        throw Failure{"no end record"};
    const std::size_t entries = field(zip, end + 10, 2);
    std::size_t at = field(zip, end + 16, 4);
    for (std::size_t i = 0; i < entries; ++i) {
        if (field(zip, at, 4) != 0x02014b50)
            throw Failure{"bad central directory"};
        const std::uint32_t method = field(zip, at + 10, 2);
        const std::uint32_t size = field(zip, at + 20, 4);
        const std::size_t nameLength = field(zip, at + 28, 2);
        const std::size_t skip = nameLength + field(zip, at + 30, 2) + field(zip, at + 32, 2);
        const std::size_t local = field(zip, at + 42, 4);
        field(zip, at + CENTRAL_ENTRY_SIZE, nameLength);  // the name lies inside the zip
        const std::string name = zip.substr(at + CENTRAL_ENTRY_SIZE, nameLength);
        at += CENTRAL_ENTRY_SIZE + skip;

        if (method != 0)
            throw Failure{name + ": only stored entries are unpacked"};
        if (!safeName(name))
            throw Failure{name + ": refused name"};
        const std::filesystem::path path = target / std::filesystem::path(name);
        if (name.back() == '/') {
            std::filesystem::create_directories(path);
            continue;
        }
        if (field(zip, local, 4) != 0x04034b50)
            throw Failure{name + ": bad local header"};
        const std::size_t data =
            local + LOCAL_HEADER_SIZE + field(zip, local + 26, 2) + field(zip, local + 28, 2);
        if (data > zip.size() || size > zip.size() - data)
            throw Failure{name + ": truncated"};
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(zip.data() + data, size);
        if (!out.flush())
            throw Failure{name + ": cannot write"};
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || std::wstring_view(argv[1]) != L"-xf" || std::wstring_view(argv[3]) != L"-C") {
        std::cerr << "usage: tar.exe -xf ZIP -C DIRECTORY\n";
        return 2;
    }
    try {
        unpack(readZip(argv[2]), argv[4]);
        return 0;
    } catch (const Failure& failure) {
        std::cerr << "tar.exe: " << failure.message << '\n';
    } catch (const std::exception& error) {
        std::cerr << "tar.exe: " << error.what() << '\n';
    }
    return 1;
}
