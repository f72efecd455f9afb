#pragma once

#include <zip.h>

#include <filesystem>
#include <memory>
#include <string>

namespace orlex::launcher {

// Owners of libzip's handles for the archives the launcher reads (its own archive, an intro archive).
struct ZipClose {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using Zip = std::unique_ptr<zip_t, ZipClose>;
using ZipFile = std::unique_ptr<zip_file_t, ZipFileClose>;

// A path as libzip takes it: UTF-8 bytes.
inline std::string zipPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace orlex::launcher
