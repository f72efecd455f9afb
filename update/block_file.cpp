#include "update/block_file.h"

#include <algorithm>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::update {

using common::IoFailure;

void BlockFile::open(const std::filesystem::path& path, Mode mode, std::int64_t expectedBytes) {
    path_ = path;
    unflushed_ = 0;
    block_.clear();
    out_.open(common::streamPath(path),
              std::ios::binary | (mode == Mode::Append ? std::ios::app : std::ios::trunc));
    if (!out_)
        throw IoFailure("Écriture impossible : " + path.string());
    block_.reserve(static_cast<std::size_t>(
        std::clamp<std::int64_t>(expectedBytes, 0, static_cast<std::int64_t>(BLOCK))));
}

void BlockFile::append(std::span<const std::uint8_t> bytes) {
    block_.insert(block_.end(), bytes.begin(), bytes.end());
    if (block_.size() >= BLOCK)
        writeBlock();
}

void BlockFile::close() {
    if (!out_.is_open())
        return;
    writeBlock();
    out_.close();
    if (!out_)
        throw IoFailure("Écriture impossible : " + path_.string());
}

void BlockFile::abandon() noexcept {
    try {
        if (out_.is_open() && out_)
            writeBlock();
    } catch (...) {
    }
    out_.close();
}

void BlockFile::writeBlock() {
    out_.write(reinterpret_cast<const char*>(block_.data()), static_cast<std::streamsize>(block_.size()));
    if (!out_)
        throw IoFailure("Écriture impossible : " + path_.string());
    unflushed_ += static_cast<std::int64_t>(block_.size());
    block_.clear();
    if (unflushed_ >= WRITEBACK_STEP) {
        out_.flush();
        common::startWriteback(path_);
        unflushed_ = 0;
    }
}

}  // namespace orlex::update
