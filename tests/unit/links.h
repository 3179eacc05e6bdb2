// Test support: folder links as players make them, to move saves or mods to another drive.
#pragma once

#include <filesystem>

// Makes at a link to the folder target.
void folderLink(const std::filesystem::path& at, const std::filesystem::path& target);

// Whether this platform can remove a folder link as itself. Wine cannot: it opens the target.
[[nodiscard]] bool folderLinksRemovable();
