#include <windows.h>

#include "common/failure.h"
#include "common/file_system.h"

namespace orlex::common {
namespace {

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(h_);
    }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

[[noreturn]] void fail(const char* what, const std::filesystem::path& path) {
    throw IoFailure(std::string(what) + " : " + path.string() + " (erreur " +
                    std::to_string(::GetLastError()) + ")");
}

void writeAll(HANDLE h, const std::uint8_t* data, std::size_t size, const std::filesystem::path& path) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(h, data, chunk, &written, nullptr))
            fail("Écriture impossible", path);
        data += written;
        size -= written;
    }
}

}  // namespace

NodeKind nodeKind(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return NodeKind::Missing;
        fail("Chemin inaccessible", path);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW find{};
        HANDLE h = ::FindFirstFileW(path.c_str(), &find);
        if (h == INVALID_HANDLE_VALUE)
            fail("Chemin inaccessible", path);
        ::FindClose(h);
        return find.dwReserved0 == IO_REPARSE_TAG_SYMLINK ? NodeKind::SymbolicLink : NodeKind::Special;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return NodeKind::Special;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return NodeKind::Directory;
    return NodeKind::Regular;
}

void writeNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, NewFile options) {
    // The per-user profile directories already restrict access to their owner; ownerOnly needs no ACL here.
    Handle h(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE)
        fail("Création impossible", path);
    writeAll(h.get(), bytes.data(), bytes.size(), path);
    if (options.durable && !::FlushFileBuffers(h.get()))
        fail("Synchronisation impossible", path);
}

void appendToFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    Handle h(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE)
        fail("Ouverture impossible", path);
    writeAll(h.get(), bytes.data(), bytes.size(), path);
}

void replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail("Remplacement impossible", to);
    }
}

void syncDirectory(const std::filesystem::path&) {}

void copyFileContent(const std::filesystem::path& from, const std::filesystem::path& to, bool durable) {
    if (!::CopyFileW(from.c_str(), to.c_str(), FALSE))
        fail("Copie impossible", to);
    if (durable) {
        Handle h(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (h.get() == INVALID_HANDLE_VALUE || !::FlushFileBuffers(h.get()))
            fail("Synchronisation impossible", to);
    }
}

bool isExecutable(const std::filesystem::path&) {
    return false;
}

}  // namespace orlex::common
