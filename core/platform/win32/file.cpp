#include <windows.h>

#include "../platform.h"

#include <cstdint>
#include <limits>
#include <string>

namespace zolta_launcher::platform {

std::FILE* openFile(const std::filesystem::path& file, const char* mode) {
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(file.c_str(), wideMode.c_str());
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
