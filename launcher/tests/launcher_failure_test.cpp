#include <gtest/gtest.h>

#include "common/failure.h"
#include "launcher/launcher_failure.h"

namespace orlex::launcher {
namespace {

using common::IoFailure;
using common::SecurityFailure;
using common::SessionExpired;

template <typename Failure>
std::exception_ptr failure(const std::string& message) {
    return std::make_exception_ptr(Failure(message));
}

// Wraps cause inside outer, as std::throw_with_nested does when a failure is caught and rethrown.
template <typename Outer>
std::exception_ptr wrapping(const std::string& message, std::exception_ptr cause) {
    try {
        try {
            std::rethrow_exception(cause);
        } catch (...) {
            std::throw_with_nested(Outer(message));
        }
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

TEST(LauncherFailure, ClassifiesSecurityTextsInTableOrder) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Manifeste expiré", "MANIFEST_EXPIRED"},
        {"Signature invalide", "SIGNATURE_INVALID"},
        {"Rollback non autorisé ; publier une nouvelle séquence signée", "ROLLBACK_REFUSED"},
        {"Fichier non signé dans l’installation : x.dll", "UNSIGNED_FILE"},
        {"Réparation requise : app/a", "FILE_INTEGRITY"},
        {"Intégrité invalide : app/a", "FILE_INTEGRITY"},
        {"SHA-256 incorrect : app/a", "FILE_INTEGRITY"},
        {"État local invalide", "LOCAL_STATE_INVALID"},
        {"Identité locale invalide", "LOCAL_STATE_INVALID"},
        {"Manifeste incompatible", "MANIFEST_INVALID"},
        {"Manifeste invalide", "MANIFEST_INVALID"},
        {"Entrée invalide", "MANIFEST_INVALID"},
        {"Périmètre non géré", "SECURITY_REFUSED"},
        {"Manifeste expiré ", "SECURITY_REFUSED"},
        {"", "SECURITY_REFUSED"},
    };
    for (const auto& [text, code] : cases) {
        EXPECT_EQ(LauncherFailure::of(failure<SecurityFailure>(text)).code(), code) << text;
    }
    const LauncherFailure integrity =
        LauncherFailure::of(failure<SecurityFailure>("Réparation requise : app/a"));
    EXPECT_EQ(integrity.message(), "Fichiers à réparer via Paramètres → Maintenance.");
    EXPECT_EQ(LauncherFailure::of(failure<SecurityFailure>("État local invalide")).message(),
              "État d’installation invalide · voir launcher.log.");
}

TEST(LauncherFailure, FindsASecurityCauseBehindOrdinaryFailures) {
    const auto chain =
        wrapping<IoFailure>("Transport interrompu", failure<SecurityFailure>("Signature invalide"));
    const LauncherFailure classified = LauncherFailure::of(chain);
    EXPECT_EQ(classified.code(), "SIGNATURE_INVALID");
    EXPECT_EQ(classified.message(), "Signature invalide · mise à jour bloquée.");
    EXPECT_EQ(classified.error(), chain);
    EXPECT_EQ(classified.report("operation"),
              "code=SIGNATURE_INVALID phase=operation\nexception=orlex::common::IoFailure"
              "\nexception=orlex::common::SecurityFailure");
}

TEST(LauncherFailure, StopsAtTheFirstSecurityFailure) {
    const auto outer =
        wrapping<SecurityFailure>("Chemin invalide", std::make_exception_ptr(SessionExpired()));
    EXPECT_EQ(LauncherFailure::of(outer).code(), "SECURITY_REFUSED");

    const LauncherFailure expired =
        LauncherFailure::of(wrapping<IoFailure>("x", std::make_exception_ptr(SessionExpired())));
    EXPECT_TRUE(expired.sessionExpired());
    EXPECT_EQ(expired.message(), "Session expirée. Reconnecte-toi.");
}

TEST(LauncherFailure, WithoutSecurityFailureTheOperationFailed) {
    const LauncherFailure plain =
        LauncherFailure::of(wrapping<IoFailure>("a", failure<std::runtime_error>("b")));
    EXPECT_EQ(plain.code(), "OPERATION_FAILED");
    EXPECT_EQ(plain.message(), "Opération interrompue · consulter launcher.log.");
    EXPECT_FALSE(plain.sessionExpired());
    EXPECT_EQ(LauncherFailure::of(std::make_exception_ptr(42)).code(), "OPERATION_FAILED");
}

TEST(LauncherFailure, ReportChecksThePhaseAndLimitsTheChainWithoutMessages) {
    std::exception_ptr chain = failure<IoFailure>("secret-token-0");
    for (int i = 1; i < 8; ++i)
        chain = wrapping<IoFailure>("secret-token-" + std::to_string(i), chain);
    const LauncherFailure classified = LauncherFailure::of(chain);

    const std::string report = classified.report("client_wait");
    EXPECT_TRUE(report.starts_with("code=OPERATION_FAILED phase=client_wait\n"));
    std::size_t lines = 0;
    for (std::size_t at = report.find("\nexception="); at != std::string::npos;
         at = report.find("\nexception=", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 6u);
    EXPECT_EQ(report.find("secret"), std::string::npos);

    for (const std::string& bad :
         std::vector<std::string>{"Client_wait", "client2", std::string(41, 'a'), ""}) {
        EXPECT_TRUE(classified.report(bad).starts_with("code=OPERATION_FAILED phase=unknown")) << bad;
    }
    EXPECT_TRUE(classified.report(std::string(40, 'a'))
                    .starts_with("code=OPERATION_FAILED phase=" + std::string(40, 'a')));
}

}  // namespace
}  // namespace orlex::launcher
