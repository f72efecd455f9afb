#pragma once

#include <cstdint>
#include <string>

namespace orlex::launcher {

// What the main window shows of an installation's progress and size. Megabytes are decimal (1,000,000
// bytes), written with one decimal, a comma and no digit grouping (common::frenchOneDecimal).

// "Préparation des fichiers…" for a phase beginning with "Préparation", "Prêt." for "Prêt", else
// "Téléchargement…" (the engine names the file being fetched as the phase).
std::string progressStatus(const std::string& phase);

// The bar in thousandths: 1000 when total is 0, else 1000 × completed ÷ total rounded down, within 0..1000.
int progressBar(std::int64_t completed, std::int64_t total);

// "<completed> / <total> Mo · reste <max(0, total − completed)> Mo".
std::string transferText(std::int64_t completed, std::int64_t total);

// bytes as decimal megabytes with one decimal: 250,000 gives "0,3".
std::string megabytes(std::int64_t bytes);

}  // namespace orlex::launcher
