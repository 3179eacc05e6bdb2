// Windows only: the removal of the recovery copy and staging folders against what another
// program does meanwhile: a folder swapped for a link.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <fstream>
#include <string>

#include "links.h"
#include "platform/platform.h"

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
