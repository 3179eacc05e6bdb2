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
    // Once renamed, the new text is the file: a folder that cannot be flushed afterwards leaves
    // the rename less durable, but reporting it would call a save that happened failed.
    auto folder = to.parent_path();
    static_cast<void>(sync(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY));
    return true;
}

} // namespace launcher::host
