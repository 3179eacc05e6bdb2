// Files and folders by path: moves, removal and entry types that never follow a link, and
// streams with 64-bit offsets, at any path length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace zolta_launcher::platform {

// Renames the folder from to to on one volume. Never replaces or merges into anything that
// already exists at to: that, like every other failure, sets ec and leaves both as they were.
void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec);

// Removes path and everything below it. A link (on Windows any reparse point, a junction too)
// is removed as itself and never entered; a read-only file or folder is made writable first.
// Goes on past a failure to remove what it can; ec holds the first failure. A missing path is
// no failure.
void removeTree(const std::filesystem::path& path, std::error_code& ec);

// Whether a move or removal failed only because another program (a virus scanner, the indexer)
// holds, for now, a file it needs, so that it may go through when tried again shortly.
[[nodiscard]] bool transient(const std::error_code& ec);

// The type of the entry at path itself, never of what a link leads to; on Windows every reparse
// point (a symbolic link, a junction) is a symlink. not_found when there is none; none with ec
// set when it cannot be told.
std::filesystem::file_type entryType(const std::filesystem::path& path, std::error_code& ec);

// The form of path that the file functions take at any length. On Windows the absolute,
// normalised extended-length form ("\\?\C:\...", "\\?\UNC\server\share\..."), which has
// the file system's limit and not MAX_PATH; a path already in that form (or a device path) is
// returned unchanged, and one that cannot be made absolute too. Elsewhere path itself.
std::filesystem::path longPath(const std::filesystem::path& path);

// Creates folder and every missing parent; an existing folder is accepted. Throws the file-system
// library's error when it cannot.
void makeFolders(const std::filesystem::path& folder);

// fopen with the given mode, by the file's wide name on Windows; null when it cannot be opened.
std::FILE* openFile(const std::filesystem::path& file, const char* mode);

// Moves the stream to a byte offset from its start; false when it cannot.
[[nodiscard]] bool seekFile(std::FILE* file, std::uint64_t offset);

// The stream's length, found by seeking to its end; false when it cannot be found.
[[nodiscard]] bool fileSize(std::FILE* file, std::uint64_t& size);

} // namespace zolta_launcher::platform
