#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <sys/wait.h>
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

// Links are followed, as opening the files follows them: what they lead to must be a regular
// file.
TEST(ValidGame, FollowsLinksToTheFilesTheyName) {
    TempFolder scratch;
    auto exe = layGame(scratch.path / "game");
    auto runtime = exe.parent_path() / "assets" / "runtime";
    std::filesystem::rename(runtime / "scene.bin", scratch.path / "scene.bin");
    struct Case {
        const char* what;
        std::filesystem::path target;
        bool valid;
    };
    std::filesystem::create_directory(scratch.path / "folder");
    for (const Case& c : {Case{"a link to a file", scratch.path / "scene.bin", true},
                          Case{"a link to a folder", scratch.path / "folder", false},
                          Case{"a link to a device", "/dev/null", false},
                          Case{"a dangling link", scratch.path / "missing", false}}) {
        std::filesystem::remove(runtime / "scene.bin");
        std::filesystem::create_symlink(c.target, runtime / "scene.bin");
        EXPECT_EQ(validGame(exe), c.valid) << c.what;
    }
}

namespace {

// Whether pid is a child of this process that has not been reaped, running or ended.
bool unreaped(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

} // namespace

// Play closes the game at once; the game must not stay behind as a zombie once it ends, while a
// game that is still open can be waited for as before.
TEST(CloseProcess, ReapsARunningGameOnceItEnds) {
    TempFolder scratch;
    auto exe = layGame(scratch.path);
    ProcessInfo waited = launch(exe, u"--sleep=3000 --exit=7");
    bool running = false;
    for (int i = 0; i < 200 && !running; ++i) {
        running = gameRunning(exe);
        if (!running) usleep(100000);
    }
    ASSERT_TRUE(running); // Wine is up, so the next start does not race its start-up

    ProcessInfo played = launch(exe, u"--sleep=500");
    auto pid = static_cast<pid_t>(played.processId);
    closeProcess(played);
    EXPECT_EQ(played.process, 0);
    bool reaped = false;
    for (int i = 0; i < 450 && !reaped; ++i) {
        reaped = !unreaped(pid);
        if (!reaped) usleep(100000);
    }
    EXPECT_TRUE(reaped) << "the closed game is left a zombie";
    EXPECT_EQ(waitProcess(waited, 45000), 7u) << "the open game is not reaped behind its back";
    closeProcess(waited);
}
