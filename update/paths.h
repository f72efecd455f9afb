#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace orlex::update {

// The longest relative release name the path grammar admits, in characters.
inline constexpr std::size_t MAX_RELEASE_NAME = 220;

// Refuses a path that is, or lies under, a symbolic link ("Lien symbolique interdit : {}") or a
// device, pipe, socket or non-link reparse point ("Point de réanalyse ou fichier spécial interdit : {}"),
// checking every existing element from the absolute path up to the file-system root. Elements that do
// not exist are passed over. Security failures carry the offending element's absolute path.
void rejectLinks(const std::filesystem::path& path);

// The path of a relative release name under dir, after the path grammar ("Chemin invalide",
// "Chemin dangereux", "Nom réservé"), containment ("Sortie du dossier") and rejectLinks.
// An absent name is refused like an invalid one. Reads the file system; writes nothing.
std::filesystem::path safe(const std::filesystem::path& dir, const std::optional<std::string>& name);

// Absolute and lexically normalised, without a trailing separator.
std::filesystem::path normalised(const std::filesystem::path& path);

// True when path equals dir or lies below it, compared piece by piece on normalised paths.
bool isWithin(const std::filesystem::path& path, const std::filesystem::path& dir);

}  // namespace orlex::update
