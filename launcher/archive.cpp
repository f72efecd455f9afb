#include "launcher/archive.h"

#include <zip.h>

#include <QDir>
#include <memory>
#include <mutex>
#include <string>

#include "common/failure.h"
#include "common/preferences.h"
#include "common/program_path.h"
#include "launcher/zip_handles.h"

namespace orlex::launcher {
namespace {

std::mutex archiveMutex;
std::optional<std::filesystem::path> chosenArchive;

}  // namespace

std::optional<Bytes> LauncherArchive::resource(std::string_view name) const {
    if (name.starts_with('/'))
        name.remove_prefix(1);
    if (name.empty() || name.ends_with('/'))
        return std::nullopt;

    int error = 0;
    Zip archive(zip_open(zipPath(path_).c_str(), ZIP_RDONLY, &error));
    if (!archive) {
        if (error == ZIP_ER_NOENT)
            return std::nullopt;
        throw common::IoFailure("Archive du lanceur illisible : " + path_.string());
    }
    const std::string entry(name);
    const zip_int64_t index = zip_name_locate(archive.get(), entry.c_str(), 0);
    if (index < 0)
        return std::nullopt;

    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_SIZE)) {
        throw common::IoFailure("Ressource illisible : /" + entry);
    }
    if (stat.size > MAX_RESOURCE_BYTES)
        throw common::IoFailure("Ressource trop grande : /" + entry);

    ZipFile file(zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
    if (!file)
        throw common::IoFailure("Ressource illisible : /" + entry);
    Bytes bytes(static_cast<std::size_t>(stat.size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const zip_int64_t read = zip_fread(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (read <= 0)
            throw common::IoFailure("Ressource illisible : /" + entry);
        filled += static_cast<std::size_t>(read);
    }
    // The declared size is the whole entry: one more byte means the directory lied.
    std::uint8_t extra = 0;
    if (zip_fread(file.get(), &extra, 1) != 0)
        throw common::IoFailure("Ressource illisible : /" + entry);
    return bytes;
}

std::filesystem::path defaultArchivePath() {
    return (common::programPath().parent_path() / ".." / "app" / "launcher.zip").lexically_normal();
}

void useArchive(std::filesystem::path path) {
    std::lock_guard lock(archiveMutex);
    chosenArchive = std::move(path);
}

LauncherArchive launcherArchive() {
    {
        std::lock_guard lock(archiveMutex);
        if (chosenArchive)
            return LauncherArchive(*chosenArchive);
    }
    return LauncherArchive(defaultArchivePath());
}

update::Ed25519Key releaseKey() {
    return releaseKey(launcherArchive());
}

update::Ed25519Key releaseKey(const LauncherArchive& archive) {
    const std::optional<Bytes> der = archive.resource("/release-public.der");
    if (!der)
        throw common::SecurityFailure("Clé de signature absente");
    return update::publicKey(*der);
}

std::filesystem::path defaultRoot() {
    const std::optional<std::string> chosen = common::Preferences(PREFS).get("installation");
    if (chosen && !chosen->empty())
        return std::filesystem::path(std::u8string(chosen->begin(), chosen->end()));
    return std::filesystem::path(QDir::homePath().toStdU16String()) / "OrlexTessaline";
}

}  // namespace orlex::launcher
