#include "../platform.h"

#include <limits>

#include <sys/types.h>

namespace zolta_launcher::platform {

std::filesystem::path longPath(const std::filesystem::path& path) {
    return path;
}

void makeFolders(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
}

std::FILE* openFile(const std::filesystem::path& file, const char* mode) {
    return std::fopen(file.c_str(), mode);
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool fileSize(std::FILE* file, std::uint64_t& size) {
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    off_t end = ftello(file);
    if (end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

} // namespace zolta_launcher::platform
