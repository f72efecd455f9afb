#include "update/paths.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::update {
namespace {

using common::SecurityFailure;

bool allowedCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '/' || c == '-';
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, alone or followed by any extension.
bool reservedDeviceName(std::string_view piece) {
    std::string upper(piece.substr(0, piece.find('.')));
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
        return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

void checkGrammar(const std::optional<std::string>& name) {
    if (!name || name->empty() || name->size() > MAX_RELEASE_NAME ||
        !std::all_of(name->begin(), name->end(), allowedCharacter)) {
        throw SecurityFailure("Chemin invalide");
    }
    std::string_view rest = *name;
    for (;;) {
        const std::size_t slash = rest.find('/');
        const std::string_view piece = rest.substr(0, slash);
        if (piece.empty() || piece == "." || piece == ".." || piece.back() == '.') {
            throw SecurityFailure("Chemin dangereux");
        }
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    rest = *name;
    for (;;) {
        const std::size_t slash = rest.find('/');
        if (reservedDeviceName(rest.substr(0, slash)))
            throw SecurityFailure("Nom réservé");
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
}

}  // namespace

std::filesystem::path normalised(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path result = std::filesystem::absolute(path, error).lexically_normal();
    if (error)
        throw common::IoFailure("Chemin inaccessible : " + path.string() + " (" + error.message() + ")");
    if (!result.has_filename() && result.has_relative_path())
        result = result.parent_path();
    return result;
}

bool isWithin(const std::filesystem::path& path, const std::filesystem::path& dir) {
    const std::filesystem::path p = normalised(path);
    const std::filesystem::path d = normalised(dir);
    auto pi = p.begin();
    for (auto di = d.begin(); di != d.end(); ++di, ++pi) {
        if (pi == p.end() || *pi != *di)
            return false;
    }
    return true;
}

void rejectLinks(const std::filesystem::path& path) {
    std::filesystem::path current = normalised(path);
    for (;;) {
        switch (common::nodeKind(current)) {
            case common::NodeKind::SymbolicLink:
                throw SecurityFailure("Lien symbolique interdit : " + current.string());
            case common::NodeKind::Special:
                throw SecurityFailure("Point de réanalyse ou fichier spécial interdit : " + current.string());
            case common::NodeKind::Missing:
            case common::NodeKind::Directory:
            case common::NodeKind::Regular:
                break;
        }
        if (!current.has_relative_path())
            return;  // reached the file-system root
        current = current.parent_path();
    }
}

std::filesystem::path safe(const std::filesystem::path& dir, const std::optional<std::string>& name) {
    checkGrammar(name);
    const std::filesystem::path base = normalised(dir);
    const std::filesystem::path resolved = (base / *name).lexically_normal();
    if (!isWithin(resolved, base))
        throw SecurityFailure("Sortie du dossier");
    rejectLinks(resolved);
    return resolved;
}

}  // namespace orlex::update
