#include <windows.h>

#include "../platform.h"

#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace zolta_launcher::platform {

std::filesystem::path longPath(const std::filesystem::path& path) {
    const std::wstring& name = path.native();
    // Already extended ("\\?\") or a device path ("\\.\"): the system takes these as they are.
    if (name.starts_with(L"\\\\?\\") || name.starts_with(L"\\\\.\\")) return path;
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    auto network = [&](const std::wstring& text) {
        return text.size() > 2 && separator(text[0]) && separator(text[1]);
    };
    std::wstring full = name;
    if (!network(full) && !path.is_absolute()) {
        // A relative path is held to MAX_PATH in any case: the system may make it absolute.
        std::error_code ec;
        full = std::filesystem::absolute(path, ec).native();
        if (ec) return path;
    }
    // The extended form turns off the system's own normalisation, so it happens here, by the
    // text alone: "." and ".." resolved and "/" made "\\". A network path "\\server\share\..."
    // becomes "\\?\UNC\server\share\...".
    if (network(full))
        return L"\\\\?\\UNC\\" + std::filesystem::path(full.substr(2)).lexically_normal().native();
    return L"\\\\?\\" + std::filesystem::path(full).lexically_normal().native();
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
