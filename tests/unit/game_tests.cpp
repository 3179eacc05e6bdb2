#include <gtest/gtest.h>

#include "errors.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "game_folder.h"
#include "launcher_core.h"
#include "links.h"

using namespace zolta_launcher;
namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string read(const fs::path& file) {
    std::ostringstream all;
    all << std::ifstream(file, std::ios::binary).rdbuf();
    return all.str();
}

void put(std::string& bytes, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width && at + i < bytes.size(); ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// size bytes: "MZ", e_lfanew = offset, then "PE\0\0" and machine at offset, as far as they fit.
std::string image(std::size_t size, std::uint32_t offset, std::uint32_t machine = 0x8664) {
    std::string bytes(size, '\0');
    put(bytes, 0, 0x5A4D, 2);
    put(bytes, 60, offset, 4);
    put(bytes, offset, 0x00004550, 4);
    put(bytes, std::size_t{offset} + 4, machine, 2);
    return bytes;
}

// A path as the game sees it: through Wine, the host's root is drive Z:.
std::string gameView(const fs::path& path) {
    std::string text = narrow(path.u16string());
    if (!LAUNCH_THROUGH_WINE) return text;
    for (char& c : text)
        if (c == '/') c = '\\';
    return "Z:" + text;
}

// A started game that the test waits for, so that none outlives it.
struct Started {
    ProcessInfo info;
    ~Started() {
        if (info.process) waitProcess(info, 30000);
        closeProcess(info);
    }
};

bool becomesRunning(const fs::path& exe) {
    for (int i = 0; i < 200; ++i) {
        if (gameRunning(exe)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

} // namespace

TEST(ValidGame, JudgesTheExecutableHeaders) {
    struct Case {
        const char* what;
        std::string bytes;
        bool valid;
    };
    std::string noMz = image(64 + 264, 64);
    noMz[0] = 'X';
    std::string noPe = image(64 + 264, 64);
    noPe[64 + 1] = 'X';
    const Case cases[] = {
        {"smallest x64 image", image(64 + 264, 64), true},
        {"63 bytes", image(63, 0), false},
        {"no MZ", noMz, false},
        {"no PE signature", noPe, false},
        {"headers at the limit", image(0x100000 + 264, 0x100000), true},
        {"headers beyond the limit", image(0x100001 + 264, 0x100001), false},
        {"negative e_lfanew", image(64 + 264, 0xFFFFFFFF), false},
        {"NT headers one byte short", image(64 + 263, 64), false},
        {"x86 machine", image(64 + 264, 64, 0x014C), false},
        {"empty file", "", false},
    };
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    for (const auto& c : cases) {
        write(exe, c.bytes);
        EXPECT_EQ(validGame(exe), c.valid) << c.what;
    }
    EXPECT_FALSE(validGame(scratch.path / "missing.exe"));
    EXPECT_FALSE(validGame(scratch.path)); // a folder
}

TEST(ValidGame, NeedsBothAssetsBesideAnyName) {
    TempFolder scratch;
    // A folder name beyond ASCII: the executable is opened by its wide name.
    auto folder = scratch.path / fs::path(u8"Zölta ゲーム");
    auto exe = layGame(folder, "Zolta Copy.exe");
    EXPECT_TRUE(validGame(exe));

    auto runtime = folder / "assets" / "runtime";
    fs::remove(runtime / "scene.json");
    EXPECT_FALSE(validGame(exe)) << "without scene.json";

    write(runtime / "scene.json", "{}");
    fs::remove(runtime / "scene.bin");
    EXPECT_FALSE(validGame(exe)) << "without scene.bin";

    // Folders in place of the files are no game; the files must be regular files.
    fs::create_directory(runtime / "scene.bin");
    EXPECT_FALSE(validGame(exe)) << "a folder named scene.bin";
    fs::remove(runtime / "scene.bin");
    write(runtime / "scene.bin", "scene");
    EXPECT_TRUE(validGame(exe));
    fs::remove(runtime / "scene.json");
    fs::create_directories(runtime / "scene.json" / "x");
    EXPECT_FALSE(validGame(exe)) << "a folder named scene.json";
    fs::remove_all(runtime / "scene.json");
    write(runtime / "scene.json", "{}");
    EXPECT_TRUE(validGame(exe));
}

TEST(GameRunning, FindsTheGameByItsPathUntilItEnds) {
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    EXPECT_FALSE(gameRunning(exe));
    Started game{launch(exe, u"--sleep=3000")};
    ASSERT_TRUE(becomesRunning(exe));
    EXPECT_EQ(waitProcess(game.info, 0), 259u) << "still running";

    auto folder = exe.parent_path();
    const fs::path forms[] = {
        fs::path(exe.generic_string()),  // forward slashes
        folder / "." / "OrbelZolta.exe", // a "." component
        folder / "assets" / ".." / "OrbelZolta.exe",
        folder / "ORBELZOLTA.EXE", // letter case
    };
    for (const auto& form : forms) EXPECT_TRUE(gameRunning(form)) << form;
    EXPECT_FALSE(gameRunning(scratch.path / "other" / "OrbelZolta.exe"));

    EXPECT_EQ(waitProcess(game.info, 30000), 0u);
    EXPECT_FALSE(gameRunning(exe)) << "ended";
}

TEST(GameRunning, IgnoresACopyInAnotherFolderWhateverItsCase) {
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    auto copy = layGame(scratch.path / "copy", "ORBELZOLTA.EXE");
    Started game{launch(copy, u"--sleep=2000")};
    ASSERT_TRUE(becomesRunning(copy)) << "a capitalised name is the game's name";
    EXPECT_FALSE(gameRunning(exe));
}

// The running image is compared with exe as the file it is: a game started through a linked
// folder (or a second drive letter), or from a second hard link of its executable, is running
// from exe, wherever the path text differs.
TEST(GameRunning, FindsTheGameByTheFileItRunsFrom) {
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    const LinkedFolder link(scratch.path / "link", scratch.path / "game");
    layGame(scratch.path / "second");
    fs::remove(scratch.path / "second" / "OrbelZolta.exe");
    fs::create_hard_link(exe, scratch.path / "second" / "OrbelZolta.exe");
    for (const fs::path& started :
         {scratch.path / "link" / "OrbelZolta.exe", scratch.path / "second" / "OrbelZolta.exe"}) {
        SCOPED_TRACE(started.string());
        Started game{launch(started, u"--sleep=2000")};
        ASSERT_TRUE(becomesRunning(started));
        EXPECT_TRUE(gameRunning(exe));
        EXPECT_TRUE(gameRunning(exe.parent_path() / "assets" / ".." / "OrbelZolta.exe"));
        EXPECT_EQ(waitProcess(game.info, 30000), 0u);
        EXPECT_FALSE(gameRunning(exe)) << "ended";
    }
}

TEST(Launch, RefusesAnIncompleteGameAndStartsNothing) {
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    fs::remove(scratch.path / "assets" / "runtime" / "scene.json");
    EXPECT_EQ(errorText([&] { launch(exe, u"--report=started.txt"); }),
              "Choose OrbelZolta.exe with its complete assets folder.");
    EXPECT_EQ(errorText([&] { launch(scratch.path / "missing.exe", u""); }),
              "Choose OrbelZolta.exe with its complete assets folder.");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(scratch.path / "started.txt"));
}

TEST(Launch, PassesQuotedPathAndArgumentsInTheGamesFolder) {
    struct Case {
        std::u16string arguments;
        const char* report;          // the file that the game writes into its working folder
        const char* tail;            // the command line after the quoted path
        const char* tailThroughWine; // Wine rebuilds the command line from the split arguments
    };
    const Case cases[] = {
        {u"--report=smoke.txt --smoke", "smoke.txt", " --report=smoke.txt --smoke",
         " --report=smoke.txt --smoke"},
        {u"--report=\"with space.txt\"", "with space.txt", " --report=\"with space.txt\"",
         " \"--report=with space.txt\""},
        {u"", "empty.txt", " ", ""}, // the game reads its options from OrbelZolta.args
    };
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    write(exe.parent_path() / "OrbelZolta.args", "--report=empty.txt");
    for (const auto& c : cases) {
        Started game{launch(exe, c.arguments)};
        EXPECT_EQ(waitProcess(game.info, 45000), 0u);
        std::string expected = std::string("\"")
                                   .append(gameView(exe))
                                   .append("\"")
                                   .append(LAUNCH_THROUGH_WINE ? c.tailThroughWine : c.tail)
                                   .append("\n")
                                   .append(gameView(exe.parent_path()))
                                   .append("\n");
        EXPECT_EQ(read(exe.parent_path() / c.report), expected) << c.report;
    }
}

TEST(WaitProcess, ReadsTheExitCodeAgainAndAgain) {
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    Started game{launch(exe, u"--exit=7")};
    EXPECT_EQ(waitProcess(game.info, 45000), 7u);
    EXPECT_EQ(waitProcess(game.info, 0), 7u);
    closeProcess(game.info);
    EXPECT_EQ(game.info.process, 0);
    EXPECT_EQ(game.info.thread, 0);
}
