#include "update/atomic_write.h"

#include "common/file_system.h"
#include "common/uuid.h"
#include "update/paths.h"

namespace orlex::update {

void atomicWrite(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    const std::filesystem::path target = normalised(path);
    rejectLinks(target);
    std::filesystem::path temporary = target;
    temporary += ".tmp-" + common::randomUuid();
    common::writeNewFile(temporary, bytes, {.ownerOnly = false, .durable = true});
    common::replaceFile(temporary, target);
    common::syncDirectory(target.parent_path());
}

}  // namespace orlex::update
