#include "launcher/progress_text.h"

#include <algorithm>

#include "common/french_number.h"

namespace orlex::launcher {

std::string progressStatus(const std::string& phase) {
    if (phase.starts_with("Préparation"))
        return "Préparation des fichiers…";
    if (phase == "Prêt")
        return "Prêt.";
    return "Téléchargement…";
}

int progressBar(std::int64_t completed, std::int64_t total) {
    if (total == 0)
        return 1000;
    // 1000 × completed stays far inside 64 bits for any size a release can have.
    const std::int64_t thousandths = 1000 * completed / total;
    return static_cast<int>(std::clamp<std::int64_t>(thousandths, 0, 1000));
}

std::string megabytes(std::int64_t bytes) {
    return common::frenchOneDecimal(static_cast<double>(bytes) / 1'000'000.0);
}

std::string transferText(std::int64_t completed, std::int64_t total) {
    return megabytes(completed) + " / " + megabytes(total) + " Mo · reste " +
           megabytes(std::max<std::int64_t>(0, total - completed)) + " Mo";
}

}  // namespace orlex::launcher
