#include "launcher/archive.h"

#include <QDir>
#include <memory>
#include <mutex>
#include <string>

#include "common/failure.h"
#include "common/preferences.h"
#include "common/program_path.h"
#include "common/utf8.h"
#include "common/zip_reader.h"

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

    std::optional<common::ZipReader> archive;
    try {
        archive = common::ZipReader::open(path_);
    } catch (const common::IoFailure&) {
        std::throw_with_nested(common::IoFailure("Archive du lanceur illisible : " + path_.string()));
    }
    if (!archive)
        return std::nullopt;
    const std::string entry(name);
    const std::optional<std::uint64_t> index = archive->find(entry);
    if (!index)
        return std::nullopt;
    std::optional<Bytes> bytes;
    try {
        bytes = archive->read(*index, MAX_RESOURCE_BYTES);
    } catch (const common::IoFailure&) {
        std::throw_with_nested(common::IoFailure("Ressource illisible : /" + entry));
    }
    if (!bytes)
        throw common::IoFailure("Ressource trop grande : /" + entry);
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

update::Ed25519Key releaseKey(const LauncherArchive& archive) {
    const std::optional<Bytes> der = archive.resource("/release-public.der");
    if (!der)
        throw common::SecurityFailure("Clé de signature absente");
    return update::publicKey(*der);
}

std::filesystem::path defaultRoot() {
    const std::optional<std::string> chosen = common::Preferences(PREFS).get("installation");
    if (chosen && !chosen->empty())
        return common::pathFromUtf8(*chosen);
    return std::filesystem::path(QDir::homePath().toStdU16String()) / "OrlexTessaline";
}

}  // namespace orlex::launcher
