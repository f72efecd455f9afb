#include <windows.h>

#include <vector>

#include "common/failure.h"
#include "common/program_path.h"

namespace orlex::common {

std::filesystem::path programPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            throw IoFailure("Chemin du programme introuvable");
        if (length < buffer.size())
            return std::filesystem::path(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768)
            throw IoFailure("Chemin du programme introuvable");
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace orlex::common
