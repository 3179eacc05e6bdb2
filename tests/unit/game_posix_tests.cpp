#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "game_folder.h"
#include "launcher_core.h"

using namespace zolta_launcher;

TEST(Launch, NeedsWineOnThePath) {
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", scratch.path.c_str(), 1); // a folder without wine
    std::string error = "(no error)";
    try {
        launch(exe, u"--smoke");
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(error, "Windows could not start Zolta.");
}

// The kernel names a running image by its real path; a game folder reached through a link
// (a linked home folder, say) is still the game's folder.
TEST(GameRunning, FindsTheGameThroughALinkedFolder) {
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    std::filesystem::create_directory_symlink(scratch.path / "game", scratch.path / "link");
    auto linked = scratch.path / "link" / "OrbelZolta.exe";
    ProcessInfo game = launch(linked, u"--sleep=2000");
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        seen = gameRunning(linked) && gameRunning(exe);
        if (!seen) usleep(100000);
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(waitProcess(game, 30000), 0u);
    closeProcess(game);
}
