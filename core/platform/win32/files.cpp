#include <windows.h>
#include <winternl.h>

#include "platform/files.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

namespace zolta_launcher::platform {

namespace {

bool missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void fail(std::error_code& ec, DWORD error) {
    if (!ec && !missing(error)) ec.assign(static_cast<int>(error), std::system_category());
}

// An entry as its folder lists it.
struct Listed {
    std::wstring name;
    DWORD attributes;
    LONGLONG id; // the file system's number for it; 0 or -1 when it gives none
};

void removeEntry(HANDLE parent, const Listed& entry, std::error_code& ec);

// The attributes of the entry itself, as its folder lists it; ERROR_SUCCESS or why not. The
// whole folder is listed: Wine's GetFileAttributesW follows a link and reports a dangling one as
// missing, and its search for one name finds no link at all.
DWORD listed(const std::wstring& path, DWORD& attributes) {
    std::size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut + 1 == path.size()) return ERROR_INVALID_NAME;
    const std::wstring name = path.substr(cut + 1);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((path.substr(0, cut) + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD result = ERROR_FILE_NOT_FOUND;
    do {
        if (CompareStringOrdinal(found.cFileName, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) {
            attributes = found.dwFileAttributes;
            result = ERROR_SUCCESS;
            break;
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return result;
}

// Everything the open folder lists, read through its handle and never again by its name, so what
// is read is what was checked; ERROR_SUCCESS or why not (what was read before stays in entries).
DWORD list(HANDLE folder, std::vector<Listed>& entries) {
    std::vector<LONGLONG> buffer(8192); // 64 KiB, aligned for the records
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)))) {
            DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
        }
        auto* record = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.push_back({std::move(name), info->FileAttributes, info->FileId.QuadPart});
            if (!info->NextEntryOffset) break;
            record += info->NextEntryOffset;
        }
    }
}

// Opens name below the open folder parent, relative to that handle, so no name above is looked
// up again; with no parent, name is a whole path.
HANDLE openBelow(HANDLE parent, const std::wstring& name, DWORD access, DWORD& error) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (!parent) {
        HANDLE entry =
            CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (entry == INVALID_HANDLE_VALUE) error = GetLastError();
        return entry;
    }
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.c_str())};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE entry = INVALID_HANDLE_VALUE;
    NTSTATUS status = NtCreateFile(
        &entry, access | SYNCHRONIZE, &object, &io, nullptr, 0, share, FILE_OPEN,
        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT,
        nullptr, 0);
    if (NT_SUCCESS(status)) return entry;
    error = RtlNtStatusToDosError(status);
    return INVALID_HANDLE_VALUE;
}

// The file system's number for the open entry; 0 when it cannot be read.
LONGLONG number(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(entry, &info)) return 0;
    return static_cast<LONGLONG>((ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

// Opens the entry itself, never a link's target, and gives its attributes; INVALID_HANDLE_VALUE
// with ec set when it cannot, or when it is not what was listed.
HANDLE openEntry(HANDLE parent, const Listed& listed, DWORD access, DWORD& attributes,
                 std::error_code& ec) {
    DWORD error = ERROR_SUCCESS;
    HANDLE entry = openBelow(parent, listed.name, access | FILE_READ_ATTRIBUTES, error);
    if (entry == INVALID_HANDLE_VALUE) {
        fail(ec, error);
        return entry;
    }
    FILE_ATTRIBUTE_TAG_INFO opened{};
    const bool link = listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    const bool numbered = listed.id != 0 && listed.id != -1;
    if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &opened, sizeof opened))
        error = GetLastError();
    else if (link != bool(opened.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
             (numbered && number(entry) != listed.id))
        // Swapped since it was listed: a link now shows as one, or, where its target was opened
        // (Wine does that whatever the flags), by another number. Working through this handle
        // could reach outside.
        error = ERROR_CANT_ACCESS_FILE;
    if (error != ERROR_SUCCESS) {
        fail(ec, error);
        CloseHandle(entry);
        return INVALID_HANDLE_VALUE;
    }
    attributes = opened.FileAttributes;
    return entry;
}

// Marks the open entry for deletion. The POSIX form takes the name away at once, even while
// another program (a virus scanner, the indexer) holds the file open, so its folder can go too;
// file systems and systems without it (FAT, before Windows 10, Wine) refuse it, and the classic
// form, which leaves such a file's name until that program closes it, runs instead.
bool dispose(HANDLE entry) {
    // mingw-w64 names this class only for a later _WIN32_WINNT than the one we build for.
    constexpr auto fileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                   FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                   FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (SetFileInformationByHandle(entry, fileDispositionInfoEx, &posix, sizeof posix)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION)
        return false;
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &classic, sizeof classic);
}

// Removes everything the open folder holds, each entry opened relative to it.
void empty(HANDLE folder, std::error_code& ec) {
    std::vector<Listed> entries;
    if (DWORD error = list(folder, entries); error != ERROR_SUCCESS) fail(ec, error);
    for (const Listed& entry : entries) removeEntry(folder, entry, ec);
}

// Removes the entry listed below the open folder parent (with no parent, entry names a whole
// path). A reparse point (a symbolic link, a junction, a mount point) is removed as itself and
// never entered: the standard library would enter a junction and empty its target. A folder is
// listed through the handle that proved it is no link and deleted through a second handle opened
// relative to that one, so a link swapped in meanwhile is never entered. Read-only makes a
// deletion fail, so it is cleared first; attribute writes are asked only then, as an entry may
// grant deletion and not them.
void removeEntry(HANDLE parent, const Listed& listed, std::error_code& ec) {
    const bool folder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const DWORD write = listed.attributes & FILE_ATTRIBUTE_READONLY ? FILE_WRITE_ATTRIBUTES : 0;
    DWORD attributes = listed.attributes;
    HANDLE entry =
        openEntry(parent, listed, (folder ? FILE_LIST_DIRECTORY : DELETE) | write, attributes, ec);
    if (entry == INVALID_HANDLE_VALUE) return;
    if (write && (attributes & FILE_ATTRIBUTE_READONLY)) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    }
    HANDLE doomed = entry;
    if (folder) {
        empty(entry, ec);
        doomed = openEntry(entry, {L"", attributes & ~FILE_ATTRIBUTE_REPARSE_POINT, 0}, DELETE,
                           attributes, ec);
    }
    if (doomed != INVALID_HANDLE_VALUE && !dispose(doomed)) fail(ec, GetLastError());
    if (doomed != INVALID_HANDLE_VALUE && doomed != entry) CloseHandle(doomed);
    CloseHandle(entry);
}

} // namespace

void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec) {
    ec.clear();
    const std::wstring source = longPath(from).native();
    DWORD attributes = 0;
    if (listed(source, attributes) == ERROR_SUCCESS &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link is renamed as itself; Wine renames what it leads to, which shows as a handle to
        // the link that opens its target, so the move is refused then.
        HANDLE entry = openEntry(nullptr, {source, attributes, 0}, 0, attributes, ec);
        if (entry == INVALID_HANDLE_VALUE) {
            if (!ec) ec.assign(ERROR_FILE_NOT_FOUND, std::system_category());
            return;
        }
        CloseHandle(entry);
    }
    // No MOVEFILE_REPLACE_EXISTING: the move fails whenever to exists, of whatever kind, and
    // no MOVEFILE_COPY_ALLOWED: a folder is renamed in one step or not at all.
    if (!MoveFileExW(source.c_str(), longPath(to).c_str(), 0))
        ec.assign(static_cast<int>(GetLastError()), std::system_category());
}

void removeTree(const std::filesystem::path& path, std::error_code& ec) {
    ec.clear();
    Listed top{longPath(path).native(), 0, 0};
    if (DWORD error = listed(top.name, top.attributes); error != ERROR_SUCCESS)
        fail(ec, error);
    else
        removeEntry(nullptr, top, ec);
}

// A program that has a file open without delete sharing makes its deletion, and the rename of
// its folder, fail with a sharing or access error; one that shares deletion leaves the deleted
// name until it closes the file, so the folder is not yet empty.
bool transient(const std::error_code& ec) {
    if (ec.category() != std::system_category()) return false;
    switch (ec.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_DIR_NOT_EMPTY:
        return true;
    default:
        return false;
    }
}

namespace {

// Whether the entry's parent is a file: nothing stands below one, as below a missing folder.
// Windows and Wine report the failed listing with different codes, so the parent is asked.
bool belowFile(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos) return false;
    const DWORD attributes = GetFileAttributesW(path.substr(0, cut).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::filesystem::file_type entryType(const std::filesystem::path& path, std::error_code& ec) {
    using std::filesystem::file_type;
    ec.clear();
    DWORD attributes = 0;
    const std::wstring name = longPath(path).native();
    if (DWORD error = listed(name, attributes); error != ERROR_SUCCESS) {
        if (missing(error) || belowFile(name)) return file_type::not_found;
        ec.assign(static_cast<int>(error), std::system_category());
        return file_type::none;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return file_type::symlink;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? file_type::directory : file_type::regular;
}

std::filesystem::path longPath(const std::filesystem::path& path) {
    // Already extended ("\\?\") or a device path ("\\.\"): the system takes these as they are.
    const auto device = [](const std::wstring& text) {
        return text.starts_with(L"\\\\?\\") || text.starts_with(L"\\\\.\\");
    };
    if (device(path.native())) return path;
    std::wstring name = path.native();
    std::replace(name.begin(), name.end(), L'/', L'\\');
    if (device(name)) return name;
    // The extended form turns off the system's own normalisation, so it happens here, by the
    // text alone: "." and ".." resolved, "/" made "\\", no trailing separator. The root (the
    // drive, or a network path's server and share) is kept apart: ".." never climbs above it.
    std::wstring root = L"\\\\?\\";
    std::wstring rest;
    if (name.starts_with(L"\\\\")) {
        const std::size_t server = name.find(L'\\', 2);
        const std::size_t share =
            server == std::wstring::npos ? server : name.find(L'\\', server + 1);
        root += L"UNC\\" + name.substr(2, share == std::wstring::npos ? share : share - 2);
        if (share != std::wstring::npos) rest = name.substr(share);
    } else {
        // A relative path is held to MAX_PATH in any case: the system may make it absolute.
        std::error_code ec;
        const std::wstring full = std::filesystem::absolute(name, ec).native();
        if (ec || full.size() < 2 || full[1] != L':') return path;
        root += full.substr(0, 2);
        rest = full.substr(2);
    }
    // One separator first, and runs of them made one, so the rest never reads as a root name.
    rest.insert(0, 1, L'\\');
    rest.erase(std::unique(rest.begin(), rest.end(),
                           [](wchar_t a, wchar_t b) { return a == L'\\' && b == L'\\'; }),
               rest.end());
    std::wstring normal = std::filesystem::path(rest).lexically_normal().native();
    while (normal.size() > 1 && normal.back() == L'\\') normal.pop_back();
    return root + normal;
}

namespace {

// Creates folder (in the extended form) after its missing parents; ERROR_SUCCESS when it stands.
DWORD makeFolder(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), nullptr)) return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        DWORD attributes = GetFileAttributesW(folder.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? ERROR_SUCCESS
                   : ERROR_ALREADY_EXISTS;
    }
    if (error != ERROR_PATH_NOT_FOUND) return error;
    std::size_t cut = folder.find_last_of(L'\\');
    // Below the root ("\\?\C:\", "\\?\UNC\server\share") there is nothing left to create.
    if (cut == std::wstring::npos || cut < 7) return error;
    if (DWORD parent = makeFolder(folder.substr(0, cut)); parent != ERROR_SUCCESS) return parent;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return ERROR_SUCCESS;
    error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? makeFolder(folder) : error;
}

} // namespace

void makeFolders(const std::filesystem::path& folder) {
    std::wstring name = longPath(folder).native();
    while (name.size() > 7 && name.back() == L'\\') name.pop_back();
    if (DWORD error = makeFolder(name); error != ERROR_SUCCESS)
        throw std::filesystem::filesystem_error(
            "cannot create directories", folder,
            std::error_code(static_cast<int>(error), std::system_category()));
}

std::FILE* openFile(const std::filesystem::path& file, const char* mode) {
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(longPath(file).c_str(), wideMode.c_str());
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    return _fseeki64(file, static_cast<std::int64_t>(offset), SEEK_SET) == 0;
}

bool fileSize(std::FILE* file, std::uint64_t& size) {
    if (_fseeki64(file, 0, SEEK_END) != 0) return false;
    std::int64_t end = _ftelli64(file);
    if (end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

} // namespace zolta_launcher::platform
