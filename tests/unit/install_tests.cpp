// End-to-end installs against the test release server, run inside the network test runner.
#include <gtest/gtest.h>

#include "errors.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "installs.h"
#include "launcher_core.h"
#include "links.h"

using namespace zolta_launcher;
namespace fs = std::filesystem;
using nlohmann::json;

using namespace installs;
using release_server::write;

namespace {

const char* const notRunning = "Close Zolta before installing its update.";
const char* const cancelled = "Download cancelled. Your existing installation is unchanged.";
const char* const incomplete = "The archive does not contain a complete Windows Zolta game.";
const char* const recoveryLeft =
    "A previous recovery copy exists beside the game. Keep it safe before retrying.";
const char* const interrupted = "Download interrupted. Please try again.";

// One test's world: the server's folder, a data folder of its own and the events received.
struct World {
    fs::path root;
    fs::path support;
    std::atomic<bool> flag = false;
    std::vector<json> events;
    std::function<void(const json&)> onEvent = [](const json&) {};

    World() : root(servedRoot()) {
        std::random_device seed;
        support = fs::temp_directory_path() / ("install-" + std::to_string(seed()));
        fs::create_directories(support);
    }
    ~World() {
        std::error_code ignored;
        fs::remove_all(support, ignored);
    }
    fs::path folder() const { return support / "Games" / "OrbelZolta-Windows"; }
    fs::path recovery() const { return support / "Games" / "OrbelZolta-Windows.previous"; }

    std::string publish(const std::string& release, const std::vector<ziptest::Entry>& archive,
                        bool wrongDigest = false) {
        return installs::publish(root, release, archive, wrongDigest);
    }

    Release run() {
        return install(support, flag, [this](json event) { receive(event); });
    }
    void receive(const json& event) {
        events.push_back(event);
        onEvent(event);
    }

    std::vector<std::string> stages() const {
        std::vector<std::string> out;
        for (const json& e : events)
            if (e.contains("stage")) out.push_back(e["stage"]);
        return out;
    }
    std::vector<std::string> requested() const {
        std::vector<std::string> paths;
        if (fs::exists(root / "requests.jsonl"))
            for (const json& request : release_server::requests()) paths.push_back(request["path"]);
        return paths;
    }
    bool staging() const {
        for (auto& entry : fs::directory_iterator(support))
            if (entry.path().filename().string().starts_with("staging-")) return true;
        return false;
    }
};

// Starts the old game with a long sleep and waits until it counts as running.
ProcessInfo startGame(const fs::path& folder) {
    ProcessInfo process = launch(folder / "OrbelZolta.exe", u"--sleep=5000");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!gameRunning(folder / "OrbelZolta.exe")) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no game");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return process;
}

const std::string sumsPath = "/zolta/downloads/SHA256SUMS.txt";

bool finalBytes(const json& event) {
    return event.contains("progress") && event["progress"] == 100 &&
           event["progress"].is_number_integer();
}

} // namespace

TEST(Install, FirstInstallPlacesGameWithMarkerAndReportsStagesInOrder) {
    World w;
    Tree files = game("1.0.0");
    std::string digest = w.publish("1.0.0", entries(files));
    std::vector<std::string> during;
    w.onEvent = [&](const json&) {
        if (!during.empty()) return;
        for (auto& entry : fs::directory_iterator(w.support))
            during.push_back(entry.path().filename().string());
    };

    Release release = w.run();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_TRUE(std::regex_match(during[0], std::regex("staging-[1-9][0-9]*-[1-9][0-9]*")))
        << during[0];
    EXPECT_EQ(release.fileName, "OrbelZolta-1.0.0-Windows-x64.zip");
    EXPECT_EQ(release.checksum, digest);
    EXPECT_EQ(release.versionText, "1.0.0");

    files["launcher-release.json"] = marker(digest, "1.0.0");
    EXPECT_EQ(tree(w.folder()), files);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_FALSE(w.staging());

    EXPECT_EQ(w.requested(), (std::vector<std::string>{
                                 sumsPath, "/zolta/downloads/OrbelZolta-1.0.0-Windows-x64.zip"}));
    ASSERT_GE(w.events.size(), 4u);
    EXPECT_EQ(w.events.front(), (json{{"stage", "downloading"},
                                      {"status", "Downloading Orbel Zolta"},
                                      {"message", "Downloading the Windows release from Orbel."}}));
    EXPECT_EQ(w.events[w.events.size() - 2],
              (json{{"stage", "verifying"},
                    {"status", "Verifying download"},
                    {"message", "Checking the published SHA-256 checksum."}}));
    EXPECT_EQ(w.events.back(), (json{{"stage", "installing"},
                                     {"status", "Installing Zolta"},
                                     {"message", "Unpacking and checking the game files."}}));
    // Between the first two stages only byte events, the last of them the final one.
    for (std::size_t i = 1; i + 2 < w.events.size(); ++i)
        EXPECT_TRUE(w.events[i].contains("progress")) << w.events[i];
    EXPECT_TRUE(finalBytes(w.events[w.events.size() - 3]));
}

TEST(Install, UpdateReplacesOlderGameCompletely) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    w.run();
    write(w.folder() / "old-only.txt", "from 1.0.0");

    Tree files = game("1.1.0");
    std::string digest = w.publish("1.1.0", entries(files));
    EXPECT_EQ(w.run().versionText, "1.1.0");
    files["launcher-release.json"] = marker(digest, "1.1.0");
    EXPECT_EQ(tree(w.folder()), files);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_FALSE(w.staging());
}

TEST(Install, UnwritableMarkerDoesNotStopTheInstall) {
    World w;
    auto archive = entries(game("1.0.0"));
    archive.push_back({"OrbelZolta-Windows/launcher-release.json/", "", 0, 0x10});
    w.publish("1.0.0", archive);
    EXPECT_EQ(w.run().versionText, "1.0.0");
    EXPECT_TRUE(fs::is_directory(w.folder() / "launcher-release.json"));
    EXPECT_EQ(read(w.folder() / "OrbelZolta.exe"), read(FIXTURE_GAME));
    EXPECT_FALSE(w.staging());
}

TEST(Install, CancelAfterVerifyingStartedIsIgnored) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    w.onEvent = [&](const json& e) {
        if (e.value("stage", "") == "verifying") w.flag = true;
    };
    EXPECT_EQ(w.run().versionText, "1.0.0");
    EXPECT_TRUE(fs::exists(w.folder() / "launcher-release.json"));
}

// Every failure leaves the old game complete (or no game on a first install), no staging
// folder, and stops at the stage it belongs to.
TEST(Install, FailuresKeepOldGameAndRemoveStaging) {
    struct Case {
        const char* name;
        bool update;
        std::function<void(World&)> arrange;
        std::string expected;
        std::vector<std::string> stages; // the stage events sent before the failure
        int requests;                    // of the checksum list, then the archive
    };
    const std::vector<std::string> all{"downloading", "verifying", "installing"};
    const std::vector<std::string> download{"downloading"};
    auto withoutFile = [](const char* file) {
        return [file](World& w) {
            Tree files = game("2.0.0");
            files.erase(file);
            w.publish("2.0.0", entries(files));
        };
    };
    auto publishNew = [](World& w) { w.publish("2.0.0", entries(game("2.0.0"))); };
    // Both releases published, the older listed first, and the list cut between the two.
    [[maybe_unused]] auto cutList = [](World& w, const char* mode) {
        const std::string newer = w.publish("2.0.0", entries(game("2.0.0")));
        const std::string older = w.publish("1.5.0", entries(game("1.5.0")));
        const std::string first = older + "  OrbelZolta-1.5.0-Windows-x64.zip\n";
        write(w.root / "downloads/SHA256SUMS.txt",
              first + newer + "  OrbelZolta-2.0.0-Windows-x64.zip\n");
        release_server::faults(
            {{"downloads/SHA256SUMS.txt", {{"mode", mode}, {"send", first.size()}}}});
    };
    auto slowly = [](World& w) {
        w.publish("2.0.0", entries(game("2.0.0")));
        release_server::faults({{"downloads/OrbelZolta-2.0.0-Windows-x64.zip",
                                 {{"mode", "trickle"}, {"chunk", 16384}, {"delay", 0.05}}}});
    };
    const Case cases[] = {
        {"no counting line",
         true,
         [](World& w) {
             w.publish("2.0.0", entries(game("2.0.0")));
             write(w.root / "downloads/SHA256SUMS.txt",
                   std::string(64, 'a') + " OrbelZolta-2.0.0-Windows-x64.zip\n");
         },
         "No verified Windows release is published",
         {},
         1},
        {"digest differs in one digit",
         true,
         [](World& w) { w.publish("2.0.0", entries(game("2.0.0")), true); },
         "Checksum mismatch. Nothing was installed.",
         {"downloading", "verifying"},
         2},
        {"no executable", true, withoutFile("OrbelZolta.exe"), incomplete, all, 2},
        {"no scene.bin", true, withoutFile("assets/runtime/scene.bin"), incomplete, all, 2},
        {"no scene.json", false, withoutFile("assets/runtime/scene.json"), incomplete, all, 2},
        {"no entries", true, [](World& w) { w.publish("2.0.0", {}); }, incomplete, all, 2},
        // A recovery copy that is not what an interrupted activation leaves: nothing is fetched.
        {"recovery copy beside an incomplete game",
         true,
         [=](World& w) {
             publishNew(w);
             fs::remove(w.folder() / "assets/runtime/scene.bin");
             write(w.recovery() / "kept.txt", "kept");
         },
         recoveryLeft,
         {},
         0},
        {"cancel during the download", true,
         [=](World& w) {
             slowly(w);
             w.onEvent = [&w](const json& e) {
                 if (e.contains("progress") && !finalBytes(e)) w.flag = true;
             };
         },
         cancelled, download, 2},
        {"cancel with the final byte event", true,
         [=](World& w) {
             publishNew(w);
             w.onEvent = [&w](const json& e) {
                 if (finalBytes(e)) w.flag = true;
             };
         },
         cancelled, download, 2},
        // The file-system library's own text, with its paths, never reaches the player.
        {"a file where the archive needs a folder", true,
         [](World& w) {
             auto archive = entries(game("2.0.0"));
             archive.push_back({"OrbelZolta-Windows/assets/runtime/scene.bin/x", "x"});
             w.publish("2.0.0", archive);
         },
         "Cannot create game file", all, 2},
        {"a file where the games folder belongs", false,
         [=](World& w) {
             publishNew(w);
             write(w.support / "Games", "not a folder");
         },
         "Installation failed. Your existing installation is unchanged.", all, 2},
        {"callback fails", true,
         [=](World& w) {
             publishNew(w);
             w.onEvent = [](const json& e) {
                 if (e.contains("progress")) throw std::runtime_error("page gone");
             };
         },
         "page gone", download, 2},
        // The list has the time limit of every document: a byte every 5 s would take minutes.
        {"checksum list trickles",
         true,
         [=](World& w) {
             publishNew(w);
             release_server::faults(
                 {{"downloads/SHA256SUMS.txt", {{"mode", "trickle"}, {"chunk", 1}, {"delay", 5}}}});
         },
         interrupted,
         {},
         1},
        // A list cut off before its newer release would install the older one.
        {"checksum list cut by a bare TCP close",
         true,
         [=](World& w) { cutList(w, "fin"); },
         interrupted,
         {},
         1},
#ifndef _WIN32 // Wine's WinHTTP takes a clean close for the last chunk; Windows' decoder awaits it
        {"checksum list closed before its last chunk",
         true,
         [=](World& w) { cutList(w, "nolastchunk"); },
         interrupted,
         {},
         1},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        Tree old;
        if (c.update) {
            w.publish("1.0.0", entries(game("1.0.0")));
            w.run();
            w.events.clear();
            fs::remove(w.root / "requests.jsonl");
        }
        c.arrange(w);
        old = tree(w.folder());
        Tree kept = tree(w.recovery());

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(errorText([&] { w.run(); }), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
        EXPECT_EQ(w.stages(), c.stages);
        EXPECT_EQ(tree(w.folder()), old);
        EXPECT_EQ(fs::exists(w.folder()), c.update);
        EXPECT_EQ(tree(w.recovery()), kept);
        EXPECT_FALSE(w.staging());
        std::vector<std::string> requests{sumsPath,
                                          "/zolta/downloads/OrbelZolta-2.0.0-Windows-x64.zip"};
        requests.resize(c.requests);
        EXPECT_EQ(w.requested(), requests);
    }
}

// What a killed update leaves is settled before anything is fetched: killed between the two
// moves, the old game is moved back; killed while the recovery copy was being removed, the rest
// of the copy goes. The next install then goes through.
TEST(Install, InterruptedUpdateIsSettledBeforeAnythingIsFetched) {
    struct Case {
        const char* name;
        void (*interrupt)(World&);
    };
    const Case cases[] = {
        {"killed between the two moves", [](World& w) { fs::rename(w.folder(), w.recovery()); }},
        {"killed while the recovery copy was removed",
         [](World& w) {
             Tree older = game("0.9.0");
             write(w.recovery() / "data/part3.bin", older["data/part3.bin"]);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        w.publish("1.0.0", entries(game("1.0.0")));
        w.run();
        const Tree installed = tree(w.folder());
        c.interrupt(w);

        write(w.root / "downloads/SHA256SUMS.txt", "# nothing published\n");
        fs::remove(w.root / "requests.jsonl");
        EXPECT_EQ(errorText([&] { w.run(); }), "No verified Windows release is published");
        EXPECT_EQ(tree(w.folder()), installed);
        EXPECT_FALSE(fs::exists(w.recovery()));

        Tree files = game("2.0.0");
        std::string digest = w.publish("2.0.0", entries(files));
        EXPECT_EQ(w.run().versionText, "2.0.0");
        files["launcher-release.json"] = marker(digest, "2.0.0");
        EXPECT_EQ(tree(w.folder()), files);
        EXPECT_FALSE(fs::exists(w.recovery()));
    }
}

// A repair of a damaged game killed between its two moves leaves no game folder and the damaged
// copy as the recovery copy. The next install keeps that copy whole under the first free name,
// tells the activity, and installs.
TEST(Install, IncompleteRecoveryCopyWithNoGameIsKeptAsideAndTheInstallGoesOn) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    w.run();
    fs::remove(w.folder() / "assets/runtime/scene.json");
    const Tree damaged = tree(w.folder());
    fs::rename(w.folder(), w.recovery());
    const fs::path taken = w.support / "Games/OrbelZolta-Windows.incomplete";
    write(taken / "earlier.txt", "an earlier one");

    Tree files = game("2.0.0");
    std::string digest = w.publish("2.0.0", entries(files));
    w.events.clear();
    EXPECT_EQ(w.run().versionText, "2.0.0");
    files["launcher-release.json"] = marker(digest, "2.0.0");
    EXPECT_EQ(tree(w.folder()), files);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_EQ(tree(w.support / "Games/OrbelZolta-Windows.incomplete-2"), damaged);
    EXPECT_EQ(tree(taken), (Tree{{"earlier.txt", "an earlier one"}}));
    ASSERT_FALSE(w.events.empty());
    EXPECT_EQ(w.events.front(),
              (json{{"record", "An interrupted install left an incomplete game. Its files are "
                               "kept in Games/OrbelZolta-Windows.incomplete-2."}}));
}

// Paths past Windows' MAX_PATH (260): an entry name of the full 240 bytes unpacks below the
// staging folder, and an old game holding a file the game made deep inside goes on the update.
TEST(Install, PathsPastMaxPathInstallUpdateAndGo) {
    World w;
    const std::string longName = "data/" + std::string(240 - 24, 'n');
    Tree files = game("1.0.0");
    files[longName] = "long 1.0.0";
    w.publish("1.0.0", entries(files));
    EXPECT_EQ(w.run().versionText, "1.0.0");
    EXPECT_EQ(read(w.folder() / longName), "long 1.0.0");
    EXPECT_GT((w.folder() / longName).native().size(), 260u);

    fs::path deep = w.folder() / "saves";
    for (int i = 0; i < 3; ++i) deep /= std::string(120, static_cast<char>('a' + i));
    write(deep / "slot1.sav", "progress");

    Tree newer = game("2.0.0");
    newer[longName] = "long 2.0.0";
    std::string digest = w.publish("2.0.0", entries(newer));
    EXPECT_EQ(w.run().versionText, "2.0.0");
    newer["launcher-release.json"] = marker(digest, "2.0.0");
    EXPECT_EQ(tree(w.folder()), newer);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_FALSE(w.staging());
}

// One launcher runs per data folder, so every staging folder found there when an install starts
// was left by an install that was killed, and goes.
TEST(Install, RemovesStagingFoldersOfInterruptedInstalls) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    write(w.support / "staging-17-4000/release.zip", "half an archive");
    Tree unpacked = game("0.9.0");
    for (auto& [name, data] : unpacked)
        write(w.support / "staging-17-5000/unpacked/OrbelZolta-Windows" / name, data);
    const fs::path readOnly = w.support / "staging-17-5000/unpacked/OrbelZolta-Windows/ro.txt";
    write(readOnly, "read-only");
    fs::permissions(readOnly, fs::perms::owner_read);
    write(w.support / "settings.json", "{}");
    // A staging name that is a link goes as a link, and what it leads to is kept. Not under
    // Wine, which cannot remove a link (and this case does not end there).
    write(w.support / "outside/canary.txt", "canary");
    if (folderLinksRemovable()) folderLink(w.support / "staging-17-6000", w.support / "outside");

    EXPECT_EQ(w.run().versionText, "1.0.0");
    EXPECT_FALSE(w.staging());
    EXPECT_EQ(read(w.support / "settings.json"), "{}");
    EXPECT_EQ(tree(w.support / "outside"), (Tree{{"canary.txt", "canary"}}));
}

TEST(Install, EmptyCallbackFailsAtTheFirstStageAndRemovesStaging) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    EXPECT_THROW(install(w.support, w.flag, nullptr), std::bad_function_call);
    EXPECT_FALSE(w.staging());
    EXPECT_FALSE(fs::exists(w.folder()));
    EXPECT_EQ(w.requested(), std::vector<std::string>{sumsPath});
}

// The game started through a linked folder runs from the game folder all the same: the update
// must not move that folder away beneath it.
TEST(Install, GameStartedThroughALinkedFolderBlocksTheUpdate) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    w.run();
    const Tree old = tree(w.folder());
    w.publish("2.0.0", entries(game("2.0.0")));
    const LinkedFolder link(w.support / "linked", w.folder());

    ProcessInfo running = startGame(w.support / "linked");
    EXPECT_EQ(errorText([&] { w.run(); }), notRunning);
    EXPECT_EQ(tree(w.folder()), old);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_FALSE(w.staging());
    waitProcess(running, 30000);
    closeProcess(running);
}

// One game process serves both: started during the download, it makes the activation refuse;
// still running, it makes the next install refuse before any request.
TEST(Install, RunningGameIsRefusedAtActivationAndAtStart) {
    World w;
    w.publish("1.0.0", entries(game("1.0.0")));
    w.run();
    Tree old = tree(w.folder());
    w.publish("2.0.0", entries(game("2.0.0")));
    fs::remove(w.root / "requests.jsonl");

    ProcessInfo running;
    bool started = false;
    w.events.clear();
    w.onEvent = [&](const json& e) {
        if (e.contains("progress") && !started) {
            running = startGame(w.folder());
            started = true;
        }
    };
    EXPECT_EQ(errorText([&] { w.run(); }), notRunning);
    ASSERT_TRUE(started);
    EXPECT_EQ(w.stages(), (std::vector<std::string>{"downloading", "verifying", "installing"}));
    EXPECT_EQ(tree(w.folder()), old);
    EXPECT_FALSE(fs::exists(w.recovery()));
    EXPECT_FALSE(w.staging());

    fs::remove(w.root / "requests.jsonl");
    w.events.clear();
    EXPECT_EQ(errorText([&] { w.run(); }), notRunning);
    EXPECT_TRUE(w.events.empty());
    EXPECT_TRUE(w.requested().empty());
    EXPECT_FALSE(w.staging());
    EXPECT_EQ(tree(w.folder()), old);

    waitProcess(running, 30000);
    closeProcess(running);
}
