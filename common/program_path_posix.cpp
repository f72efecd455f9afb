#include <system_error>

#include "common/failure.h"
#include "common/program_path.h"

namespace orlex::common {

std::filesystem::path programPath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        throw IoFailure("Chemin du programme introuvable");
    return path;
}

}  // namespace orlex::common
