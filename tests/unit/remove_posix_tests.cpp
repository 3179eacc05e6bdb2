// Linux only: the removal of the recovery copy and staging folders against what only Linux can
// put inside them, a file system mounted within, and a folder swapped for a link while it runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <stdio.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

#include "platform/files.h"

namespace fs = std::filesystem;
using zolta_launcher::platform::removeTree;

namespace {

// A fresh folder of its own, removed afterwards.
struct Folder {
    fs::path root;
    Folder() {
        std::random_device seed;
        root = fs::temp_directory_path() / ("remove-" + std::to_string(seed()));
        fs::create_directories(root);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Whether this process may mount: in a mount namespace of its own, so nothing shows outside.
bool mountSpace() {
    static bool own = unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return own;
}

} // namespace

// A player's other drive mounted inside the old game is left with its files; the removal fails,
// as any other failure to remove does.
TEST(RemoveTree, LeavesAFileSystemMountedInsideAndFails) {
    Folder f;
    const fs::path game = f.root / "game", drive = game / "mods/drive";
    put(game / "OrbelZolta.exe", "game");
    fs::create_directories(drive);
    if (!mountSpace() || mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "this process cannot mount";
    put(drive / "mod.pak", "mod");

    std::error_code ec;
    removeTree(game, ec);
    EXPECT_TRUE(ec);
    EXPECT_EQ(read(drive / "mod.pak"), "mod");
    EXPECT_FALSE(fs::exists(game / "OrbelZolta.exe"));
    umount2(drive.c_str(), MNT_DETACH);
}

// A locked folder is opened up before it is emptied. Swapped for a link to an outside locked
// folder right then, the outside folder must keep its rights and its files.
TEST(RemoveTree, NeverChangesTheRightsOfWhatASwappedInLinkLeadsTo) {
    Folder f;
    const fs::path outside = f.root / "outside", game = f.root / "game";
    put(outside / "kept.txt", "kept");
    fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_exec);
    const auto locked = fs::status(outside).permissions();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        put(game / "locked/file.txt", "old");
        fs::permissions(game / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        fs::create_directory_symlink(outside, game / "link");
        // Exchanges the folder and the link, atomically, over and over.
        std::atomic<bool> stop = false, swapping = false;
        std::thread swapper([&] {
            while (!stop && renameat2(AT_FDCWD, (game / "locked").c_str(), AT_FDCWD,
                                      (game / "link").c_str(), RENAME_EXCHANGE) == 0)
                swapping = true;
            swapping = true;
        });
        while (!swapping) {
        }
        std::error_code ec;
        removeTree(game, ec);
        stop = true;
        swapper.join();
        ASSERT_EQ(fs::status(outside).permissions(), locked) << "a link's target was opened up";
        ASSERT_EQ(read(outside / "kept.txt"), "kept");
        fs::permissions(game / "locked", fs::perms::owner_all,
                        fs::perm_options::replace | fs::perm_options::nofollow, ec);
        fs::remove_all(game, ec);
    }
}
