// orlex-stored-zip OUTPUT NAME=FILE...
// Writes a zip whose entries are stored (method 0), in the order given, each named NAME ('/' separated)
// with FILE's bytes and one fixed time, so that the same inputs give the same bytes. It makes the
// stand-in runtime zip of the Windows installer's test builds, which the stand-in tar.exe can unpack.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::uint16_t DOS_DATE = (20 << 9) | (1 << 5) | 1;  // 2000-01-01
constexpr std::uint16_t DOS_TIME = 0;
constexpr std::uint64_t STORED_CAP = 0xFFFFFFFEu;  // no zip64: sizes and offsets stay 32-bit

struct Entry {
    std::string name;
    std::string bytes;
    std::uint32_t crc = 0;
    std::uint32_t offset = 0;
};

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put(std::string& out, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// The fields a local header and a central directory entry share, from "version needed" to the name length.
void common(std::string& out, const Entry& entry) {
    put(out, 10, 2);  // version needed: 1.0
    put(out, 0, 2);   // flags
    put(out, 0, 2);   // method: stored
    put(out, DOS_TIME, 2);
    put(out, DOS_DATE, 2);
    put(out, entry.crc, 4);
    put(out, static_cast<std::uint32_t>(entry.bytes.size()), 4);
    put(out, static_cast<std::uint32_t>(entry.bytes.size()), 4);
    put(out, static_cast<std::uint32_t>(entry.name.size()), 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: orlex-stored-zip OUTPUT NAME=FILE...\n";
        return 2;
    }
    std::vector<Entry> entries;
    std::string zip;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        if (equals == 0 || equals == std::string::npos) {
            std::cerr << "orlex-stored-zip: " << argument << " is not NAME=FILE\n";
            return 2;
        }
        std::ifstream in(argument.substr(equals + 1), std::ios::binary);
        if (!in) {
            std::cerr << "orlex-stored-zip: cannot read " << argument.substr(equals + 1) << '\n';
            return 1;
        }
        Entry entry{
            .name = argument.substr(0, equals),
            .bytes = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())};
        if (entry.name.size() > 0xFFFF || entry.bytes.size() > STORED_CAP - zip.size()) {
            std::cerr << "orlex-stored-zip: " << entry.name << " does not fit a 32-bit zip\n";
            return 1;
        }
        entry.crc = crc32(entry.bytes);
        entry.offset = static_cast<std::uint32_t>(zip.size());
        put(zip, 0x04034b50, 4);
        common(zip, entry);
        put(zip, 0, 2);  // extra length
        zip += entry.name;
        zip += entry.bytes;
        entries.push_back(std::move(entry));
    }
    const std::size_t directory = zip.size();
    for (const Entry& entry : entries) {
        put(zip, 0x02014b50, 4);
        put(zip, 10, 2);  // made by: 1.0, MS-DOS
        common(zip, entry);
        put(zip, 0, 2);  // extra length
        put(zip, 0, 2);  // comment length
        put(zip, 0, 2);  // disk
        put(zip, 0, 2);  // internal attributes
        put(zip, 0, 4);  // external attributes
        put(zip, entry.offset, 4);
        zip += entry.name;
    }
    put(zip, 0x06054b50, 4);
    put(zip, 0, 2);  // this disk
    put(zip, 0, 2);  // directory disk
    put(zip, static_cast<std::uint32_t>(entries.size()), 2);
    put(zip, static_cast<std::uint32_t>(entries.size()), 2);
    put(zip, static_cast<std::uint32_t>(zip.size() - directory), 4);
    put(zip, static_cast<std::uint32_t>(directory), 4);
    put(zip, 0, 2);  // comment length

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(zip.data(), static_cast<std::streamsize>(zip.size()));
    if (!out.flush()) {
        std::cerr << "orlex-stored-zip: cannot write " << argv[1] << '\n';
        return 1;
    }
    return 0;
}
