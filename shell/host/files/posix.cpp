#include "../files.h"

#include <fcntl.h>
#include <unistd.h>

namespace launcher::host {

namespace {

bool sync(const std::filesystem::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

} // namespace

bool moveOver(const std::filesystem::path& from, const std::filesystem::path& to) {
    // The new text must be on disk before the rename makes it the file, and the rename itself
    // is only durable once the folder holding both names is flushed.
    if (!sync(from, O_RDONLY)) return false;
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    auto folder = to.parent_path();
    return sync(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY);
}

} // namespace launcher::host
