#include "links.h"

#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void folderLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    std::filesystem::create_directory_symlink(target, at);
}

void removeLink(const std::filesystem::path& at) {
    std::filesystem::remove(at);
}

bool folderLinksRemovable() {
    return true;
}

void removeScratch(const std::filesystem::path& folder) {
    std::error_code ignored;
    zolta_launcher::platform::removeTree(folder, ignored);
}

bool whileLocked(const std::filesystem::path& folder, const std::function<void()>& body) {
    struct stat before;
    if (stat(folder.c_str(), &before) != 0 || chown(folder.c_str(), 65534, 65534) != 0)
        return false;
    chmod(folder.c_str(), 0555);
    bool ran = false;
    // Capabilities belong to a thread, so the rest of the test binary keeps its own.
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (syscall(SYS_capget, &header, data) != 0) return;
        data[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        if (syscall(SYS_capset, &header, data) != 0) return;
        ran = true;
        body();
    }).join();
    [[maybe_unused]] int restored = chown(folder.c_str(), before.st_uid, before.st_gid);
    chmod(folder.c_str(), before.st_mode & 07777);
    return ran;
}

void whileSwapping(const std::filesystem::path& a, const std::filesystem::path& b,
                   const std::filesystem::path&, const std::function<void()>& body) {
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        while (!stop) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    body();
    stop = true;
    swapper.join();
}

std::error_code heldError() {
    return {EBUSY, std::system_category()};
}
