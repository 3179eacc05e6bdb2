#include <windows.h>

#include "../platform.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace zolta_launcher::platform {

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
