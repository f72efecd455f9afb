#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct zip;  // libzip's archive handle

namespace orlex::common {

// A zip archive open for reading (the launcher archive, a game release's intro archive). Every read is
// capped: an entry is read whole only when its declared size is within the caller's cap, and an entry
// that holds more bytes than its directory declares fails. One reader serves one thread at a time.
class ZipReader {
public:
    // nullopt when path does not exist; IoFailure carrying libzip's reason when it exists but cannot be
    // read as a zip.
    static std::optional<ZipReader> open(const std::filesystem::path& path);

    std::uint64_t count() const;
    // The entry's name ("" when it has none).
    std::string name(std::uint64_t index) const;
    // The index of the entry named exactly name; nullopt when there is none.
    std::optional<std::uint64_t> find(std::string_view name) const;
    // The entry's whole content; nullopt when its declared size exceeds cap. IoFailure when it cannot
    // be read whole or holds more than it declares.
    std::optional<std::vector<std::uint8_t>> read(std::uint64_t index, std::uint64_t cap) const;

private:
    struct Close {
        void operator()(zip* archive) const;
    };
    explicit ZipReader(zip* archive) : archive_(archive) {}

    std::unique_ptr<zip, Close> archive_;
};

}  // namespace orlex::common
