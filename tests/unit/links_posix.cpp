#include "links.h"

void folderLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    std::filesystem::create_directory_symlink(target, at);
}

bool folderLinksRemovable() {
    return true;
}
