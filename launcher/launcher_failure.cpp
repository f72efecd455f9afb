#include "launcher/launcher_failure.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "common/failure.h"
#include "common/type_name.h"

namespace orlex::launcher {
namespace {

constexpr std::size_t MAX_REPORTED = 6;
constexpr std::size_t MAX_PHASE = 40;

// One link of a failure chain: its dynamic type and what it says about the session.
struct Link {
    const std::type_info* type;
    const common::SecurityFailure* security;
    bool sessionExpired;
};

Link inspect(const std::exception_ptr& failure) {
    Link link{nullptr, nullptr, false};
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        link.type = &typeid(e);
        link.security = dynamic_cast<const common::SecurityFailure*>(&e);
        link.sessionExpired = dynamic_cast<const common::SessionExpired*>(&e) != nullptr;
    } catch (...) {
    }
    return link;
}

// The chain from failure through its causes, each failure once.
std::vector<Link> chain(const std::exception_ptr& failure, std::size_t limit) {
    std::vector<Link> links;
    for (const std::exception_ptr& link : common::failureChain(failure, limit))
        links.push_back(inspect(link));
    return links;
}

struct Row {
    const char* code;
    const char* message;
};

Row classifySecurity(const std::string& text) {
    const auto starts = [&](std::string_view prefix) { return text.starts_with(prefix); };
    if (text == "Manifeste expiré")
        return {"MANIFEST_EXPIRED", "Distribution expirée. Publication à renouveler."};
    if (text == "Signature invalide")
        return {"SIGNATURE_INVALID", "Signature invalide · mise à jour bloquée."};
    if (starts("Rollback non autorisé")) {
        return {"ROLLBACK_REFUSED", "Version antérieure refusée · publication à corriger."};
    }
    if (starts("Fichier non signé dans l’installation :")) {
        return {"UNSIGNED_FILE", "Fichier non signé · réparer via Maintenance."};
    }
    if (starts("Réparation requise :") || starts("Intégrité invalide :") || starts("SHA-256 incorrect :")) {
        return {"FILE_INTEGRITY", "Fichiers à réparer via Paramètres → Maintenance."};
    }
    if (text == "État local invalide" || text == "Identité locale invalide") {
        return {"LOCAL_STATE_INVALID", "État d’installation invalide · voir launcher.log."};
    }
    if (text == "Manifeste incompatible" || text == "Manifeste invalide" || text == "Entrée invalide") {
        return {"MANIFEST_INVALID", "Distribution incompatible · voir launcher.log."};
    }
    return {"SECURITY_REFUSED", "Vérification refusée · consulter launcher.log."};
}

bool validPhase(const std::string& phase) {
    return !phase.empty() && phase.size() <= MAX_PHASE &&
           std::all_of(phase.begin(), phase.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
}

}  // namespace

LauncherFailure LauncherFailure::of(std::exception_ptr failure) {
    // A chain cannot grow without bound: every cause was thrown before the failure wrapping it.
    for (const Link& link : chain(failure, SIZE_MAX)) {
        if (link.sessionExpired)
            return {"SESSION_EXPIRED", "Session expirée. Reconnecte-toi.", failure};
        if (link.security) {
            const Row row = classifySecurity(link.security->what());
            return {row.code, row.message, failure};
        }
    }
    return {"OPERATION_FAILED", "Opération interrompue · consulter launcher.log.", failure};
}

std::string LauncherFailure::report(const std::string& phase) const {
    std::string text = "code=" + code_ + " phase=" + (validPhase(phase) ? phase : "unknown");
    for (const Link& link : chain(error_, MAX_REPORTED))
        text += "\nexception=" + (link.type ? common::typeName(*link.type) : std::string("unknown"));
    return text;
}

}  // namespace orlex::launcher
