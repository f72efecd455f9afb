#pragma once

#include <filesystem>
#include <span>

namespace orlex::update {

// Replaces path's content in one atomic step: rejectLinks on the path, a sibling "<name>.tmp-<uuid>"
// created exclusively, written, forced to disk, then renamed over path (and on POSIX the directory
// synced). On failure path keeps its old content; the temporary file may remain.
void atomicWrite(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace orlex::update
