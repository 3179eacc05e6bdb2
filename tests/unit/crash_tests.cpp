// Crash safety: an update killed with SIGKILL at any moment leaves a complete game, old or new,
// in the game folder, or (only between the two moves of the activation) in the recovery copy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "installs.h"

using namespace installs;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

// The install child, its stdout on a pipe.
struct Child {
    pid_t pid = -1;
    std::FILE* out = nullptr;

    explicit Child(const fs::path& support) {
        int pipes[2];
        if (pipe(pipes) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipes[0]);
        std::string program = CRASH_CHILD, folder = support.string();
        char* argv[] = {program.data(), folder.data(), nullptr};
        int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipes[1]);
        out = fdopen(pipes[0], "r");
        if (failed != 0) throw std::runtime_error("cannot start " + program);
    }
    ~Child() {
        if (pid > 0) finish(false);
        if (out) std::fclose(out);
    }
    // The next reported line, without its line end; empty once the child has ended.
    std::string line() {
        char buffer[4096];
        if (!std::fgets(buffer, sizeof buffer, out)) return {};
        std::string text = buffer;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Kills the child (unless it should end by itself) and reaps it; true if it ended by itself.
    bool finish(bool wait) {
        if (!wait) kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return !WIFSIGNALED(status);
    }
};

// Where to kill: the event to wait for ("start" is the spawn), then a delay after it.
struct Point {
    std::string after;
    Clock::duration delay;
};

void reset(const fs::path& support, const fs::path& pristine) {
    fs::remove_all(support);
    fs::copy(pristine, support, fs::copy_options::recursive);
}

} // namespace

TEST(CrashSafety, KilledUpdateAlwaysLeavesOneCompleteGame) {
    fs::path root = servedRoot();
    fs::path scratch = fs::temp_directory_path() / ("crash-" + std::to_string(getpid()));
    fs::path pristine = scratch / "pristine", support = scratch / "support";
    fs::path folder = support / "Games/OrbelZolta-Windows";
    fs::path recovery = support / "Games/OrbelZolta-Windows.previous";
    fs::create_directories(scratch);

    // The old game, installed for real once; each run starts from a copy of it.
    publish(root, "1.0.0", entries(game("1.0.0")));
    std::atomic<bool> never = false;
    zolta_launcher::install(pristine, never, [](nlohmann::json) {});
    const Tree old = tree(pristine / "Games/OrbelZolta-Windows");

    // The new release: many files, so verifying and unpacking take measurable time, and a
    // download slowed by the server.
    Tree files = game("2.0.0", 400, 20000);
    std::string digest = publish(root, "2.0.0", entries(files));
    files["launcher-release.json"] = marker(digest, "2.0.0");
    const Tree fresh = files;
    release_server::faults({{"downloads/OrbelZolta-2.0.0-Windows-x64.zip",
                             {{"mode", "trickle"}, {"chunk", 262144}, {"delay", 0.02}}}});

    // One run to the end measures the stages.
    std::map<std::string, Clock::time_point> seen;
    reset(support, pristine);
    {
        Child child(support);
        seen["start"] = Clock::now();
        for (std::string line; !(line = child.line()).empty();)
            if (line.starts_with("stage ")) seen[line.substr(6)] = Clock::now();
        seen["end"] = Clock::now();
        ASSERT_TRUE(child.finish(true));
        ASSERT_EQ(tree(folder), fresh);
    }
    ASSERT_EQ(seen.size(), 5u);

    // Points spread over each stage: before the first event (the checksum list), the download,
    // the checksum (a few milliseconds: killed as soon as it starts, too), and unpacking with the
    // activation at its end, more densely near that end.
    std::vector<Point> points;
    auto spread = [&](const char* from, const char* to, std::vector<double> fractions) {
        for (double f : fractions)
            points.push_back(
                {from, std::chrono::duration_cast<Clock::duration>((seen[to] - seen[from]) * f)});
    };
    spread("start", "downloading", {0.0, 0.3, 0.6});
    spread("downloading", "verifying", {0.05, 0.3, 0.6, 0.9});
    spread("verifying", "installing", {0.0, 0.0, 0.2, 0.5});
    spread("installing", "end",
           {0.05, 0.2, 0.4, 0.6, 0.75, 0.85, 0.9, 0.94, 0.97, 0.99, 1.0, 1.05});
    ASSERT_GE(points.size(), 20u);

    std::map<std::string, int> killedAfter; // the stage each kill landed in
    std::map<std::string, int> found;
    for (const Point& point : points) {
        reset(support, pristine);
        std::string last = "start";
        bool ended;
        {
            Child child(support);
            while (last != point.after) {
                std::string line = child.line();
                if (line.empty()) break;
                if (line.starts_with("stage ")) last = line.substr(6);
            }
            std::this_thread::sleep_for(point.delay);
            ended = child.finish(false);
            // What the child reported before it died tells the stage it died in.
            for (std::string line; !(line = child.line()).empty();) {
                if (line.starts_with("stage ")) last = line.substr(6);
                if (line == "done" || line.starts_with("error ")) last = line;
            }
        }
        SCOPED_TRACE("killed " + std::to_string(point.delay.count()) + " after " + point.after);
        EXPECT_FALSE(last.starts_with("error ")) << last;
        if (!ended) ++killedAfter[last];

        if (fs::exists(folder)) {
            Tree now = tree(folder);
            EXPECT_TRUE(now == old || now == fresh) << "the game folder holds a mix";
            ++found[now == old ? "old in place" : "new in place"];
        } else {
            EXPECT_EQ(tree(recovery), old) << "no complete game anywhere";
            ++found["old in recovery copy"];
        }
    }
    fs::remove_all(scratch);

    for (const char* stage : {"start", "downloading", "verifying", "installing"})
        EXPECT_GT(killedAfter[stage], 0) << "no kill after " << stage;
    for (auto& [stage, count] : killedAfter)
        std::printf("killed in %s: %d\n", stage.c_str(), count);
    for (auto& [what, count] : found) std::printf("%s: %d\n", what.c_str(), count);
}
