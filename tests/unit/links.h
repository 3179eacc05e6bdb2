// Test support: folder links as players make them, to move saves or mods to another drive.
#pragma once

#include <filesystem>
#include <functional>
#include <system_error>

// Makes at a link to the folder target.
void folderLink(const std::filesystem::path& at, const std::filesystem::path& target);

// Removes the folder link at, never what it leads to, while that still exists; a test removes its
// links so that the removal of its scratch folder never meets one.
void removeLink(const std::filesystem::path& at);

// A folder link that goes before the scope's scratch folder does.
struct LinkedFolder {
    std::filesystem::path at;
    LinkedFolder(const std::filesystem::path& link, const std::filesystem::path& target)
        : at(link) {
        folderLink(at, target);
    }
    ~LinkedFolder() {
        try {
            removeLink(at);
        } catch (...) {
        }
    }
    LinkedFolder(const LinkedFolder&) = delete;
    LinkedFolder& operator=(const LinkedFolder&) = delete;
};

// Whether this platform can remove a folder link as itself. Wine cannot: it opens the target.
[[nodiscard]] bool folderLinksRemovable();

// Removes a test's scratch folder with everything below it, links as themselves and read-only
// files too, where folderLinksRemovable says the platform cannot; failures are ignored.
void removeScratch(const std::filesystem::path& folder);

// Runs body while the existing folder can be neither removed nor renamed by body, however it
// tries: on Linux the folder belongs to another user and may not be written, and body runs without
// root's rights to override that; on Windows a handle holds it open without delete sharing, as
// another program may. Afterwards the folder can be removed again. False, with body not run,
// where this process cannot arrange it.
[[nodiscard]] bool whileLocked(const std::filesystem::path& folder,
                               const std::function<void()>& body);

// Runs body while another program exchanges the entries a and b, atomically, over and over, as
// one racing the launcher might; its files go in the new folder signals.
void whileSwapping(const std::filesystem::path& a, const std::filesystem::path& b,
                   const std::filesystem::path& signals, const std::function<void()>& body);

// The failure a move or removal meets on this platform while another program holds a file.
std::error_code heldError();
