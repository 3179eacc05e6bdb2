#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

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
