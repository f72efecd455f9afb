#include <windows.h>

#include <algorithm>
#include <string>

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

// The form of an absolute path that the wide file API takes beyond 260 characters: "\\?\C:\..." or
// "\\?\UNC\server\share\...". Such a path is used as it stands, so it is normalised first and uses
// backslashes only. Relative paths are left alone (they are short by construction here).
std::wstring extended(const std::filesystem::path& path) {
    std::wstring text = path.lexically_normal().make_preferred().native();
    if (text.starts_with(L"\\\\?\\") || !path.is_absolute())
        return text;
    if (text.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
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

// Nanoseconds since the epoch of a time in 100 ns steps since 1601 (the offset first: the product of
// the raw count overflows for any date after 1893).
std::int64_t fileTime(const LARGE_INTEGER& t) {
    constexpr std::int64_t STEPS_FROM_1601_TO_1970 = 116'444'736'000'000'000;
    return (static_cast<std::int64_t>(t.QuadPart) - STEPS_FROM_1601_TO_1970) * 100;
}

}  // namespace

NodeKind nodeKind(const std::filesystem::path& path) {
    const std::wstring name = extended(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return NodeKind::Missing;
        fail("Chemin inaccessible", path);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW find{};
        HANDLE h = ::FindFirstFileW(name.c_str(), &find);
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
    Handle h(::CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE)
        fail("Création impossible", path);
    writeAll(h.get(), bytes.data(), bytes.size(), path);
    if (options.durable && !::FlushFileBuffers(h.get()))
        fail("Synchronisation impossible", path);
}

void appendToFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    Handle h(::CreateFileW(extended(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE)
        fail("Ouverture impossible", path);
    writeAll(h.get(), bytes.data(), bytes.size(), path);
}

void replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Windows refuses to replace a file while any handle is open on it (another thread reading the
    // pointer, a virus scanner looking at a fresh file): such a hold lasts moments, so the move is tried
    // again for about a second before it counts as failed.
    constexpr int ATTEMPTS = 20;
    for (int attempt = 1;; ++attempt) {
        if (::MoveFileExW(extended(from).c_str(), extended(to).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD error = ::GetLastError();
        if (attempt == ATTEMPTS || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            break;
        ::Sleep(50);
    }
    fail("Remplacement impossible", to);
}

void syncDirectory(const std::filesystem::path&) {}

std::filesystem::path streamPath(const std::filesystem::path& path) {
    return std::filesystem::path(extended(path));
}

void copyFileContent(const std::filesystem::path& from, const std::filesystem::path& to, bool durable) {
    // CopyFile carries the source's attributes over and refuses to replace a read-only or hidden target:
    // a read-only payload file would leave a copy that can be neither flushed nor replaced. The copy
    // gets plain attributes, as the POSIX body creates it 0644.
    const std::wstring target = extended(to);
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);  // a missing target is fine
    if (!::CopyFileW(extended(from).c_str(), target.c_str(), FALSE))
        fail("Copie impossible", to);
    if (!::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL))
        fail("Copie impossible", to);
    if (durable)
        syncFile(to);
}

bool isExecutable(const std::filesystem::path&) {
    return false;
}

std::optional<FileStamp> regularFileStamp(const std::filesystem::path& path) {
    Handle h(::CreateFileW(extended(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        fail("Chemin inaccessible", path);
    }
    BY_HANDLE_FILE_INFORMATION identity{};
    FILE_BASIC_INFO times{};
    if (!::GetFileInformationByHandle(h.get(), &identity) ||
        !::GetFileInformationByHandleEx(h.get(), FileBasicInfo, &times, sizeof times))
        fail("Chemin inaccessible", path);
    if (identity.dwFileAttributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return std::nullopt;
    return FileStamp{
        .device = identity.dwVolumeSerialNumber,
        .inode = (static_cast<std::uint64_t>(identity.nFileIndexHigh) << 32) | identity.nFileIndexLow,
        .size = static_cast<std::int64_t>((static_cast<std::uint64_t>(identity.nFileSizeHigh) << 32) |
                                          identity.nFileSizeLow),
        .modified = fileTime(times.LastWriteTime),
        .changed = fileTime(times.ChangeTime)};
}

SmallFile readSmallFile(const std::filesystem::path& path, std::size_t cap) {
    Handle h(::CreateFileW(extended(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return SmallFile{NodeKind::Missing};
        // A directory, or a junction or directory link (opened without backup semantics), refuses the
        // open: it is reported as what it is, as on other systems.
        if (error == ERROR_ACCESS_DENIED) {
            if (const NodeKind kind = nodeKind(path); kind != NodeKind::Regular && kind != NodeKind::Missing)
                return SmallFile{kind};
        }
        ::SetLastError(error);
        fail("Lecture impossible", path);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h.get(), &info))
        return SmallFile{NodeKind::Special};
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return SmallFile{nodeKind(path)};
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return SmallFile{NodeKind::Directory};
    SmallFile file{NodeKind::Regular};
    // Sized by what the file holds now, not by the cap; grown while a growing file delivers more, up to
    // one byte beyond cap.
    const std::size_t limit = cap + 1;
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    file.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(limit, size + 1)));
    std::size_t filled = 0;
    for (;;) {
        if (filled == file.bytes.size()) {
            if (file.bytes.size() == limit)
                break;
            file.bytes.resize(std::min(limit, file.bytes.size() * 2));
        }
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(file.bytes.size() - filled, 1 << 20));
        DWORD got = 0;
        if (!::ReadFile(h.get(), file.bytes.data() + filled, want, &got, nullptr))
            fail("Lecture impossible", path);
        if (got == 0)
            break;
        filled += got;
    }
    file.oversized = filled > cap;
    file.bytes.resize(std::min(filled, cap));
    return file;
}

void syncFile(const std::filesystem::path& path) {
    Handle h(::CreateFileW(extended(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE || !::FlushFileBuffers(h.get()))
        fail("Synchronisation impossible", path);
}

void startWriteback(const std::filesystem::path&) noexcept {
    // Windows has no call that starts a write-back without waiting for it; the later flush does it all.
}

bool linkFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::CreateHardLinkW(extended(to).c_str(), extended(from).c_str(), nullptr))
        return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_TOO_MANY_LINKS)
        return false;
    fail("Lien impossible", to);
}

void createDirectories(const std::filesystem::path& dir) {
    // Piece by piece from the root, so that every call takes the long form.
    std::filesystem::path current;
    for (const std::filesystem::path& piece : dir.lexically_normal()) {
        current /= piece;
        if (!current.has_relative_path() || piece.empty())
            continue;
        if (::CreateDirectoryW(extended(current).c_str(), nullptr))
            continue;
        if (::GetLastError() != ERROR_ALREADY_EXISTS || nodeKind(current) != NodeKind::Directory)
            fail("Dossier impossible à créer", current);
    }
}

void removeNode(const std::filesystem::path& path) {
    const std::wstring name = extended(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return;
        fail("Suppression impossible", path);
    }
    // A directory link or junction is removed as a directory entry, never through its target.
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(name.c_str())
                                                                 : ::DeleteFileW(name.c_str());
    if (!removed)
        fail("Suppression impossible", path);
}

std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& dir) {
    WIN32_FIND_DATAW find{};
    HANDLE h = ::FindFirstFileExW((extended(dir) + L"\\*").c_str(), FindExInfoBasic, &find,
                                  FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE)
        fail("Lecture impossible", dir);
    std::vector<std::filesystem::path> entries;
    do {
        const std::wstring_view name = find.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back(dir / std::wstring(name));
    } while (::FindNextFileW(h, &find));
    const DWORD error = ::GetLastError();
    ::FindClose(h);
    if (error != ERROR_NO_MORE_FILES) {
        ::SetLastError(error);
        fail("Lecture impossible", dir);
    }
    return entries;
}

bool grantOwnerExecute(const std::filesystem::path&) {
    return true;  // files carry no execute permission here
}

}  // namespace orlex::common
