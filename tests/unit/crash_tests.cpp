// Crash safety: an update killed with SIGKILL at any moment leaves a complete game, old or new,
// in the game folder, or (only between the two moves of the activation) in the recovery copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <string_view>
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

    // extra: environment entries, NAME=VALUE each, that replace the test's own of that name.
    explicit Child(const fs::path& support, const std::vector<std::string>& extra = {}) {
        int pipes[2];
        if (pipe(pipes) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipes[0]);
        std::string program = CRASH_CHILD, folder = support.string();
        char* argv[] = {program.data(), folder.data(), nullptr};
        std::vector<std::string> entries(extra);
        std::vector<char*> env;
        auto replaced = [&](std::string_view entry) {
            for (const std::string& added : extra)
                if (entry.substr(0, entry.find('=') + 1) == added.substr(0, added.find('=') + 1))
                    return true;
            return false;
        };
        for (char** entry = environ; *entry; ++entry)
            if (!replaced(*entry)) env.push_back(*entry);
        for (std::string& entry : entries) env.push_back(entry.data());
        env.push_back(nullptr);
        int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
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

// Runs the install child to its end, or to its death; true if it was killed.
bool killed(const fs::path& support, const std::vector<std::string>& env) {
    Child child(support, env);
    while (!child.line().empty()) {
    }
    return !child.finish(true);
}

// The kill library preloaded after whatever the environment preloads already: a second entry
// of the name would leave one of the two unloaded.
std::string preload() {
    const char* already = std::getenv("LD_PRELOAD");
    return std::string("LD_PRELOAD=") + (already && *already ? std::string(already) + ":" : "") +
           KILL_AT;
}

// A scratch folder, removed however the test ends.
struct Removed {
    fs::path path;
    ~Removed() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// The two spellings of path in a trace: as given, and as reached through a folder descriptor,
// the kernel's, with every link resolved (the temporary folder may lie behind one).
std::array<std::string, 2> spellings(const fs::path& path) {
    return {path.string(), (fs::canonical(path.parent_path()) / path.filename()).string()};
}

bool is(const std::string& traced, const fs::path& path) {
    return std::ranges::count(spellings(path), traced) > 0;
}

bool below(const std::string& traced, const fs::path& path) {
    return std::ranges::any_of(spellings(path), [&](auto& p) { return traced.starts_with(p); });
}

// Not named by the process id: every run of the network test runner has its own PID namespace
// but shares the machine's temporary folder, so runs side by side would share one folder.
fs::path scratchFolder(const std::string& prefix) {
    std::random_device seed;
    return fs::temp_directory_path() / (prefix + std::to_string(seed()));
}

bool stagingLeft(const fs::path& support) {
    for (auto& entry : fs::directory_iterator(support))
        if (entry.path().filename().string().starts_with("staging-")) return true;
    return false;
}

// A move ("rename") or removal ("remove") of a traced install run; count is its number among the
// calls of its kind, as KILL_AT counts them.
struct Call {
    std::string kind;
    std::string path;
    long count;
};

// Runs the install child to its end with every move and removal traced into file.
std::vector<Call> traced(const fs::path& support, const fs::path& file) {
    if (killed(support, {preload(), "KILL_TRACE=" + file.string()}))
        throw std::runtime_error("the traced install was killed");
    std::vector<Call> calls;
    std::map<std::string, long> counts;
    std::ifstream in(file);
    for (std::string kind, path; in >> kind && std::getline(in >> std::ws, path);)
        calls.push_back({kind, path, ++counts[kind]});
    return calls;
}

// One of the activation's two moves: the game folder aside, the staged game into its place.
bool activationMove(const Call& call, const fs::path& folder) {
    return call.kind == "rename" &&
           (is(call.path, folder) || call.path.ends_with("unpacked/OrbelZolta-Windows"));
}

// Publishes release 2.0.0, a small one, and returns the game folder that installing it leaves.
Tree publishUpdate(const fs::path& root) {
    Tree files = game("2.0.0");
    std::string digest = publish(root, "2.0.0", entries(files));
    files["launcher-release.json"] = marker(digest, "2.0.0");
    return files;
}

} // namespace

TEST(CrashSafety, KilledUpdateAlwaysLeavesOneCompleteGame) {
    fs::path root = servedRoot();
    fs::path scratch = scratchFolder("crash-");
    fs::path pristine = scratch / "pristine", support = scratch / "support";
    fs::path folder = support / "Games/OrbelZolta-Windows";
    fs::path recovery = support / "Games/OrbelZolta-Windows.previous";
    fs::create_directories(scratch);
    const Removed removed{scratch};

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

    for (const char* stage : {"start", "downloading", "verifying", "installing"})
        EXPECT_GT(killedAfter[stage], 0) << "no kill after " << stage;
    for (auto& [stage, count] : killedAfter)
        std::printf("killed in %s: %d\n", stage.c_str(), count);
    for (auto& [what, count] : found) std::printf("%s: %d\n", what.c_str(), count);
}

// Kills at exact points of an update: before and after each move of the activation, and inside
// the removal of the recovery copy (an old game of thousands of files) and of the staging folder.
// Each kill must leave one complete game, old or new, that the next install settles, and that
// install must go through and leave no recovery copy and no staging folder.
TEST(CrashSafety, KillsAtTheMovesAndInsideTheRemovalsAreSettledByTheNextInstall) {
    fs::path root = servedRoot();
    fs::path scratch = scratchFolder("crash-exact-");
    fs::path pristine = scratch / "pristine", support = scratch / "support";
    const fs::path folder = support / "Games/OrbelZolta-Windows";
    const fs::path recovery = support / "Games/OrbelZolta-Windows.previous";
    fs::create_directories(scratch);
    const Removed removed{scratch};

    publish(root, "1.0.0", entries(game("1.0.0", 4000, 64)));
    std::atomic<bool> never = false;
    zolta_launcher::install(pristine, never, [](nlohmann::json) {});
    const Tree old = tree(pristine / "Games/OrbelZolta-Windows");

    const Tree fresh = publishUpdate(root);

    // One traced run to its end numbers every move and removal.
    reset(support, pristine);
    const std::vector<Call> calls = traced(support, scratch / "trace.txt");
    ASSERT_EQ(tree(folder), fresh);
    std::vector<long> moves, oldRemovals, stagingRemovals;
    for (const Call& call : calls) {
        if (activationMove(call, folder))
            moves.push_back(call.count);
        else if (call.kind == "remove" && below(call.path, recovery))
            oldRemovals.push_back(call.count);
        else if (call.kind == "remove" && below(call.path, support / "staging-"))
            stagingRemovals.push_back(call.count);
    }
    ASSERT_EQ(moves.size(), 2u);
    ASSERT_GT(oldRemovals.size(), 4000u);
    ASSERT_GE(stagingRemovals.size(), 2u);

    struct Kill {
        std::string at;
        std::string where;
    };
    std::vector<Kill> kills;
    for (long move : moves)
        for (const char* moment : {"before", "after"})
            kills.push_back({"rename " + std::to_string(move) + " " + moment,
                             std::string(moment) + " a move of the activation"});
    for (std::size_t i : {std::size_t{0}, oldRemovals.size() / 2, oldRemovals.size() - 1})
        kills.push_back({"remove " + std::to_string(oldRemovals[i]) + " before",
                         "inside the recovery copy's removal"});
    kills.push_back({"remove " + std::to_string(oldRemovals.back()) + " after",
                     "after the recovery copy's removal"});
    for (long removal : {stagingRemovals.front(), stagingRemovals.back()})
        kills.push_back({"remove " + std::to_string(removal) + " before",
                         "inside the staging folder's removal"});

    int complete = 0, settled = 0;
    for (const Kill& kill : kills) {
        SCOPED_TRACE(kill.at + " (" + kill.where + ")");
        reset(support, pristine);
        EXPECT_TRUE(killed(support, {preload(), "KILL_AT=" + kill.at}));
        const Tree now = tree(folder);
        bool whole = now == old || now == fresh || (!fs::exists(folder) && tree(recovery) == old);
        EXPECT_TRUE(whole) << "no complete game after the kill";
        complete += whole;

        std::string what = "(no error)";
        try {
            zolta_launcher::install(support, never, [](nlohmann::json) {});
        } catch (const std::exception& e) {
            what = e.what();
        }
        EXPECT_EQ(what, "(no error)");
        bool through = what == "(no error)" && tree(folder) == fresh && !fs::exists(recovery) &&
                       !stagingLeft(support);
        EXPECT_TRUE(through) << "the next install left the game, a recovery copy or staging";
        settled += through;
    }
    std::printf("kill points: %zu, complete games after the kill: %d, next installs that went "
                "through cleanly: %d\n",
                kills.size(), complete, settled);
}

// A repair replaces a damaged game (its folder there, its files incomplete). Killed between the
// two moves, it leaves no game folder and the damaged copy as the recovery copy, which is no
// game to move back: the next install keeps every file of it under a name of its own, says so,
// and goes through. Killed at the other moves, the next install goes through too.
TEST(CrashSafety, AnInterruptedRepairKeepsTheDamagedCopyAndTheNextInstallGoesThrough) {
    fs::path root = servedRoot();
    fs::path scratch = scratchFolder("crash-repair-");
    fs::path pristine = scratch / "pristine", support = scratch / "support";
    const fs::path folder = support / "Games/OrbelZolta-Windows";
    const fs::path recovery = support / "Games/OrbelZolta-Windows.previous";
    const fs::path kept = support / "Games/OrbelZolta-Windows.incomplete";
    fs::create_directories(scratch);
    const Removed removed{scratch};

    publish(root, "1.0.0", entries(game("1.0.0")));
    std::atomic<bool> never = false;
    zolta_launcher::install(pristine, never, [](nlohmann::json) {});
    fs::remove(pristine / "Games/OrbelZolta-Windows/assets/runtime/scene.json");
    const Tree damaged = tree(pristine / "Games/OrbelZolta-Windows");

    const Tree fresh = publishUpdate(root);

    reset(support, pristine);
    const std::vector<Call> calls = traced(support, scratch / "trace.txt");
    ASSERT_EQ(tree(folder), fresh);
    std::vector<long> moves;
    for (const Call& call : calls)
        if (activationMove(call, folder)) moves.push_back(call.count);
    ASSERT_EQ(moves.size(), 2u);

    struct Kill {
        std::string at;
        bool between; // the damaged copy is the recovery copy, with no game folder
    };
    const Kill kills[] = {{"rename " + std::to_string(moves[0]) + " before", false},
                          {"rename " + std::to_string(moves[0]) + " after", true},
                          {"rename " + std::to_string(moves[1]) + " before", true},
                          {"rename " + std::to_string(moves[1]) + " after", false}};
    for (const Kill& kill : kills) {
        SCOPED_TRACE(kill.at);
        reset(support, pristine);
        EXPECT_TRUE(killed(support, {preload(), "KILL_AT=" + kill.at}));
        if (kill.between) {
            EXPECT_FALSE(fs::exists(folder));
            EXPECT_EQ(tree(recovery), damaged);
        }

        std::vector<std::string> records;
        std::string what = "(no error)";
        try {
            zolta_launcher::install(support, never, [&](nlohmann::json event) {
                if (event.contains("record")) records.push_back(event["record"]);
            });
        } catch (const std::exception& e) {
            what = e.what();
        }
        EXPECT_EQ(what, "(no error)");
        EXPECT_EQ(tree(folder), fresh);
        EXPECT_FALSE(fs::exists(recovery));
        EXPECT_FALSE(stagingLeft(support));
        if (kill.between) {
            EXPECT_EQ(tree(kept), damaged) << "a file of the damaged copy is lost";
            EXPECT_EQ(records,
                      std::vector<std::string>{
                          "An interrupted install left an incomplete game. Its files are kept "
                          "in Games/OrbelZolta-Windows.incomplete."});
        } else {
            EXPECT_FALSE(fs::exists(kept));
            EXPECT_TRUE(records.empty());
        }
    }
}
