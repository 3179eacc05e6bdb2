#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zolta_launcher::platform {

void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec) {
    ec.clear();
    // Plain rename replaces an empty folder at to; the no-replace form never does.
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno != EINVAL && errno != ENOSYS) {
        ec.assign(errno, std::system_category());
        return;
    }
    // A file system that refuses the flag: test the target without following a link, then
    // rename. Only a writer racing between the two calls could still be replaced.
    struct stat target;
    if (lstat(to.c_str(), &target) == 0) {
        ec = std::make_error_code(std::errc::file_exists);
    } else if (errno != ENOENT) {
        ec.assign(errno, std::system_category());
    } else if (std::rename(from.c_str(), to.c_str()) != 0) {
        ec.assign(errno, std::system_category());
    }
}

std::uint32_t processId() {
    return static_cast<std::uint32_t>(getpid());
}

} // namespace zolta_launcher::platform
