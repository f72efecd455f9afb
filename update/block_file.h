#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

namespace orlex::update {

// A transfer reports progress for its first bytes and then once per PROGRESS_STEP bytes: a report per TLS
// record (16 KiB) would cost the caller one line of output each.
inline constexpr std::int64_t PROGRESS_STEP = 256 * 1024;

// A file that receives a transfer's small pieces and writes them in blocks of BLOCK bytes (the last one
// shorter), asking the system every WRITEBACK_STEP written bytes to start writing them to the device: the
// file is flushed before the release is committed, and a large file would otherwise leave all of it to
// that flush. Failures are IoFailure naming the file.
class BlockFile {
public:
    static constexpr std::size_t BLOCK = 1024 * 1024;
    static constexpr std::int64_t WRITEBACK_STEP = 16 * 1024 * 1024;

    enum class Mode { Truncate, Append };

    // Opens the file; expectedBytes (when known) keeps the gathering buffer no larger than needed.
    void open(const std::filesystem::path& path, Mode mode, std::int64_t expectedBytes = BLOCK);
    bool isOpen() const { return out_.is_open(); }

    void append(std::span<const std::uint8_t> bytes);

    // Writes what is gathered and closes the file.
    void close();

    // Writes what it still can and closes the file after a failed transfer; what could not be written
    // shows in the file's length.
    void abandon() noexcept;

private:
    void writeBlock();

    std::filesystem::path path_;
    std::ofstream out_;
    std::vector<std::uint8_t> block_;  // gathered, not yet written; never above BLOCK + one piece
    std::int64_t unflushed_ = 0;       // written since the last start of a write-back
};

}  // namespace orlex::update
