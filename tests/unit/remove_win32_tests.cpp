// Windows only: the removal of the recovery copy and staging folders against what another
// program does meanwhile: a scanner that holds a file, a folder swapped for a link.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "launcher_core.h"
#include "links.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder of its own, removed afterwards.
struct Folder {
    fs::path root;
    Folder() {
        root = fs::temp_directory_path() / ("remove-" + std::to_string(GetTickCount64()) + "-" +
                                            std::to_string(GetCurrentThreadId()));
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

int count(const fs::path& folder) {
    int files = 0;
    for (auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
    return files;
}

} // namespace

// A folder inside the old game swapped for a link to a folder outside while the removal runs,
// over and over: the removal may fail, but it never enters what the link leads to.
TEST(RemoveTree, NeverEntersAFolderSwappedForALinkWhileItRuns) {
    Folder f;
    const fs::path outside = f.root / "outside";
    for (int i = 0; i < 300; ++i) put(outside / ("kept" + std::to_string(i) + ".txt"), "kept");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        SCOPED_TRACE(round);
        const fs::path game = f.root / ("game" + std::to_string(round));
        const fs::path signals = f.root / ("signals" + std::to_string(round));
        for (int i = 0; i < 300; ++i) put(game / "data" / ("old" + std::to_string(i)), "old");
        folderLink(game / "link", outside);
        whileSwapping(game / "data", game / "link", signals, [&] {
            std::error_code ec;
            zolta_launcher::platform::removeTree(game, ec);
        });
        ASSERT_EQ(count(outside), 300) << "a link's target was emptied";
    }
}

// A virus scanner that opens a file of the old game without delete sharing keeps it from being
// deleted; once it lets go, the removal of the recovery copy, tried again, goes through.
TEST(Activate, RemovesTheOldGameOnceAScannerLetsGo) {
    Folder f;
    const fs::path game = f.root / "Games" / "OrbelZolta-Windows";
    const fs::path staged = f.root / "staging" / "OrbelZolta-Windows";
    for (const fs::path& folder : {game, staged}) {
        std::string exe(64 + 264, '\0');
        exe[0] = 'M', exe[1] = 'Z', exe[60] = 64;
        exe[64] = 'P', exe[65] = 'E', exe[68] = 0x64, exe[69] = char(0x86);
        put(folder / "OrbelZolta.exe", exe);
        put(folder / "assets/runtime/scene.bin", "bin");
        put(folder / "assets/runtime/scene.json", "json");
    }
    const fs::path held = game / "assets/runtime/scene.bin";
    HANDLE scanner = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
    std::error_code refused;
    fs::remove(held, refused);
    EXPECT_TRUE(refused) << "a file held without delete sharing was deleted";

    std::thread letGo([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CloseHandle(scanner);
    });
    zolta_launcher::activate(staged, game);
    letGo.join();
    EXPECT_TRUE(fs::exists(game / "OrbelZolta.exe"));
    std::error_code ec;
    EXPECT_EQ(
        zolta_launcher::platform::entryType(f.root / "Games" / "OrbelZolta-Windows.previous", ec),
        fs::file_type::not_found);
}
