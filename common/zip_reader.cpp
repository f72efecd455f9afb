#include "common/zip_reader.h"

#include <zip.h>

#include "common/failure.h"
#include "common/utf8.h"

namespace orlex::common {
namespace {

struct FileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

std::string reason(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

}  // namespace

void ZipReader::Close::operator()(zip* archive) const {
    zip_discard(archive);
}

std::optional<ZipReader> ZipReader::open(const std::filesystem::path& path) {
    int error = 0;
    zip_t* archive = zip_open(utf8Of(path).c_str(), ZIP_RDONLY, &error);  // libzip takes UTF-8 paths
    if (archive)
        return ZipReader(archive);
    if (error == ZIP_ER_NOENT)
        return std::nullopt;
    throw IoFailure(reason(error));
}

std::uint64_t ZipReader::count() const {
    const zip_int64_t entries = zip_get_num_entries(archive_.get(), 0);
    return entries < 0 ? 0 : static_cast<std::uint64_t>(entries);
}

std::string ZipReader::name(std::uint64_t index) const {
    const char* text = zip_get_name(archive_.get(), index, 0);
    return text ? text : "";
}

std::optional<std::uint64_t> ZipReader::find(std::string_view name) const {
    const zip_int64_t index = zip_name_locate(archive_.get(), std::string(name).c_str(), 0);
    if (index < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(index);
}

std::optional<std::vector<std::uint8_t>> ZipReader::read(std::uint64_t index, std::uint64_t cap) const {
    const std::string entry = name(index);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_.get(), index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
        throw IoFailure("Entrée illisible : " + entry);
    if (stat.size > cap)
        return std::nullopt;
    const std::unique_ptr<zip_file_t, FileClose> file(zip_fopen_index(archive_.get(), index, 0));
    if (!file)
        throw IoFailure("Entrée illisible : " + entry);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stat.size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const zip_int64_t got = zip_fread(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got <= 0)
            throw IoFailure("Entrée illisible : " + entry);
        filled += static_cast<std::size_t>(got);
    }
    // The declared size is the whole entry: one more byte means the directory lied.
    std::uint8_t extra = 0;
    if (zip_fread(file.get(), &extra, 1) != 0)
        throw IoFailure("Entrée illisible : " + entry);
    return bytes;
}

}  // namespace orlex::common
