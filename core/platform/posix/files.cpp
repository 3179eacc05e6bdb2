#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
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

namespace {

void fail(std::error_code& ec) {
    if (!ec) ec.assign(errno, std::system_category());
}

void removeBelow(int parent, const char* name, std::optional<dev_t> device, std::error_code& ec);

// Removes everything inside the open folder folder, which is on the device device; closes it.
void empty(int folder, dev_t device, std::error_code& ec) {
    DIR* listing = fdopendir(folder);
    if (!listing) {
        fail(ec);
        close(folder);
        return;
    }
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") removeBelow(dirfd(listing), name.c_str(), device, ec);
    }
    closedir(listing);
}

// Removes the entry name of the open folder parent, whose folders must be on device when given.
// Everything is reached through folder descriptors opened without following links, so a
// link swapped in meanwhile is never entered, and a folder on another device (a mount point) is
// left as it stands: the removal then fails, and what is mounted there keeps its files.
void removeBelow(int parent, const char* name, std::optional<dev_t> device, std::error_code& ec) {
    struct stat info;
    if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) fail(ec);
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        if (device && info.st_dev != *device) {
            errno = EXDEV;
            fail(ec);
            return;
        }
        // A folder without owner rights cannot be listed or emptied. Not following links: an
        // entry swapped for a link since fstatat is refused, never its target changed.
        if ((info.st_mode & S_IRWXU) != S_IRWXU)
            fchmodat(parent, name, (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
        int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder < 0) {
            fail(ec);
            return;
        }
        empty(folder, info.st_dev, ec);
    }
    if (unlinkat(parent, name, S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
        fail(ec);
}

} // namespace

void removeTree(const std::filesystem::path& path, std::error_code& ec) {
    ec.clear();
    removeBelow(AT_FDCWD, path.c_str(), std::nullopt, ec);
}

// A file system that reports another's hold on a file (a share whose server has it open) says
// EBUSY; a local one never refuses a rename or removal for an open file.
bool transient(const std::error_code& ec) {
    return ec.category() == std::system_category() && ec.value() == EBUSY;
}

std::filesystem::file_type entryType(const std::filesystem::path& path, std::error_code& ec) {
    std::filesystem::file_type type = std::filesystem::symlink_status(path, ec).type();
    if (type == std::filesystem::file_type::not_found) ec.clear();
    return type;
}

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
