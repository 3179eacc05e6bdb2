#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "game_folder.h"
#include "launcher_core.h"

using namespace zolta_launcher;

TEST(Launch, ReportsAnImageWindowsCannotStart) {
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    // Headers that pass the check, with nothing behind them that Windows could load.
    std::string bytes(64 + 264, '\0');
    bytes[0] = 'M', bytes[1] = 'Z', bytes[60] = 64;
    bytes[64] = 'P', bytes[65] = 'E', bytes[68] = 0x64, bytes[69] = char(0x86);
    std::ofstream(exe, std::ios::binary) << bytes;
    ASSERT_TRUE(validGame(exe));
    std::string error = "(no error)";
    try {
        ProcessInfo started = launch(exe, u"");
        waitProcess(started, 30000);
        closeProcess(started);
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "Windows could not start Zolta.");
}
