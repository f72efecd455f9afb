// orlex-archive OUTPUT VERSION FILE...
// Writes the launcher archive: the directory "META-INF/", then "META-INF/MANIFEST.MF" (Manifest-Version,
// Implementation-Version VERSION, Main-Class, each line ending in CR LF), then each FILE as a root entry
// named by its file name, in the order given. Every entry is deflated and carries one fixed time, so the
// same inputs always give the same bytes; the archive has no comment. The output is replaced as a whole.
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// 2000-01-01 00:00 as the zip's own date and time fields: any fixed time does (zip times start in 1980).
// Set as fields, not as a time_t, which libzip turns into fields in the build machine's time zone.
constexpr zip_uint16_t ENTRY_DOS_DATE = (20 << 9) | (1 << 5) | 1;
constexpr zip_uint16_t ENTRY_DOS_TIME = 0;

struct Failure {
    std::string message;
};

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot read " + path.string()};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void check(zip_t* archive, bool ok, const std::string& what) {
    if (!ok)
        throw Failure{what + ": " + zip_strerror(archive)};
}

void addFile(zip_t* archive, const std::string& name, std::string& content) {
    // The source does not copy the bytes: content must outlive zip_close.
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    check(archive, source != nullptr, name);
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        check(archive, false, name);
    }
    const auto at = static_cast<zip_uint64_t>(index);
    check(archive, zip_set_file_compression(archive, at, ZIP_CM_DEFLATE, 9) == 0, name);
    check(archive, zip_file_set_dostime(archive, at, ENTRY_DOS_TIME, ENTRY_DOS_DATE, 0) == 0, name);
}

void write(const std::filesystem::path& output, const std::string& version,
           const std::vector<std::filesystem::path>& files) {
    std::vector<std::string> contents;
    contents.reserve(files.size() + 1);
    contents.push_back("Manifest-Version: 1.0\r\nImplementation-Version: " + version +
                       "\r\nMain-Class: com.orlex.launcher.Launcher\r\n");
    std::set<std::string> names;
    for (const std::filesystem::path& file : files) {
        if (!names.insert(file.filename().string()).second)
            throw Failure{"two resources named " + file.filename().string()};
        contents.push_back(readAll(file));
    }

    std::filesystem::create_directories(std::filesystem::absolute(output).parent_path());
    int error = 0;
    zip_t* archive = zip_open(output.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr)
        throw Failure{"cannot create " + output.string()};
    try {
        const zip_int64_t dir = zip_dir_add(archive, "META-INF", ZIP_FL_ENC_UTF_8);
        check(archive, dir >= 0, "META-INF/");
        check(archive,
              zip_file_set_dostime(archive, static_cast<zip_uint64_t>(dir), ENTRY_DOS_TIME, ENTRY_DOS_DATE,
                                   0) == 0,
              "META-INF/");
        addFile(archive, "META-INF/MANIFEST.MF", contents[0]);
        for (std::size_t i = 0; i < files.size(); ++i)
            addFile(archive, files[i].filename().string(), contents[i + 1]);
        check(archive, zip_close(archive) == 0, output.string());
    } catch (...) {
        zip_discard(archive);
        throw;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: orlex-archive OUTPUT VERSION FILE...\n";
        return 2;
    }
    try {
        write(argv[1], argv[2], std::vector<std::filesystem::path>(argv + 3, argv + argc));
        return 0;
    } catch (const Failure& failure) {
        std::cerr << "orlex-archive: " << failure.message << '\n';
    } catch (const std::exception& failure) {
        std::cerr << "orlex-archive: " << failure.what() << '\n';
    }
    std::filesystem::remove(argv[1]);
    return 1;
}
