#include <gtest/gtest.h>

#include "errors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher_core.h"
#include "links.h"
#include "platform/files.h"

using namespace zolta_launcher;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;

// A fresh folder of its own for each test, removed afterwards.
struct Scratch {
    fs::path root;
    Scratch() {
        std::random_device seed;
        root = fs::temp_directory_path() / ("activate-" + std::to_string(seed()));
        fs::create_directories(root / "Games");
    }
    ~Scratch() { removeScratch(root); }
    fs::path game() const { return root / "Games" / "OrbelZolta-Windows"; }
    fs::path recovery() const { return root / "Games" / "OrbelZolta-Windows.previous"; }
    fs::path staged() const { return root / "staging" / "unpacked" / "OrbelZolta-Windows"; }
};

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// The headers that make an x64 Windows executable to validGame, then the release's name.
std::string image(const std::string& release) {
    std::string bytes(64 + 264, '\0');
    bytes[0] = 'M', bytes[1] = 'Z', bytes[60] = 64;
    bytes[64] = 'P', bytes[65] = 'E', bytes[68] = 0x64, bytes[69] = char(0x86);
    return bytes + release;
}

// A complete game whose every file names its release, so a mix of two releases shows.
Tree makeGame(const fs::path& folder, const std::string& release) {
    Tree files{{"OrbelZolta.exe", image(release)},
               {"assets/runtime/scene.bin", "bin " + release},
               {"assets/runtime/scene.json", "json " + release}};
    for (auto& [name, text] : files) put(folder / name, text);
    return files;
}

std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every file below folder with its content; a plain file is its own one entry "".
Tree tree(const fs::path& folder) {
    Tree files;
    if (fs::is_regular_file(folder)) files[""] = read(folder);
    if (!fs::is_directory(folder)) return files;
    for (auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        files[entry.path().lexically_relative(folder).generic_string()] = read(entry.path());
    }
    return files;
}

// Whether anything stands at path itself, a dangling link included.
bool present(const fs::path& path) {
    std::error_code ec;
    return platform::entryType(path, ec) != fs::file_type::not_found;
}

// The leftover copies that activations moved aside into the data folder root.
std::vector<fs::path> setAside(const fs::path& root) {
    std::vector<fs::path> found;
    for (auto& entry : fs::directory_iterator(root))
        if (entry.path().filename().string().starts_with("staging-")) found.push_back(entry.path());
    return found;
}

} // namespace

TEST(MoveFolder, NeverReplacesOrMergesIntoWhatExists) {
    struct Case {
        const char* name;
        void (*target)(const fs::path&);
    };
    const Case cases[] = {
        {"empty folder", [](const fs::path& to) { fs::create_directory(to); }},
        {"folder with a file", [](const fs::path& to) { put(to / "mine.txt", "mine"); }},
        {"file", [](const fs::path& to) { put(to, "mine"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        Tree moving = makeGame(s.staged(), "new");
        c.target(s.game());
        Tree before = tree(s.game());

        std::error_code ec;
        platform::moveFolder(s.staged(), s.game(), ec);
        EXPECT_TRUE(ec);
        EXPECT_EQ(tree(s.staged()), moving);
        EXPECT_EQ(tree(s.game()), before);
    }
}

TEST(Activate, FirstInstallMovesStagedFolderIntoPlace) {
    Scratch s;
    Tree fresh = makeGame(s.staged(), "new");
    activate(s.staged(), s.game());
    EXPECT_EQ(tree(s.game()), fresh);
    EXPECT_FALSE(fs::exists(s.staged()));
    EXPECT_FALSE(fs::exists(s.recovery()));
}

TEST(Activate, UpdateReplacesOldGameAndRemovesRecoveryCopy) {
    Scratch s;
    makeGame(s.game(), "old");
    put(s.game() / "saves/old-only.txt", "old");
    Tree fresh = makeGame(s.staged(), "new");
    activate(s.staged(), s.game());
    EXPECT_EQ(tree(s.game()), fresh);
    EXPECT_FALSE(fs::exists(s.staged()));
    EXPECT_FALSE(fs::exists(s.recovery()));
}

// A recovery copy beside the game is what an interrupted activation leaves: killed between the
// two moves (no game folder), or while the copy was being removed (the new game in place). Both
// are settled and the update goes on; a copy beside anything else is refused, moving nothing.
TEST(Activate, SettlesALeftoverRecoveryCopyOrRefusesIt) {
    auto partial = [](const fs::path& folder, const std::string& release) {
        Tree files = makeGame(folder, release);
        fs::remove(folder / "assets/runtime/scene.json");
        files.erase("assets/runtime/scene.json");
        return files;
    };
    const char* const unremovable = "The old copy of the game in "
                                    "Games/OrbelZolta-Windows.previous cannot be removed. It is "
                                    "safe to delete it before retrying.";
    struct Case {
        const char* name;
        std::function<void(const Scratch&)> arrange;
        bool settled;
        const char* refusal = "A previous recovery copy exists beside the game. Keep it safe "
                              "before retrying.";
    };
    const Case cases[] = {
        {"killed between the two moves", [](const Scratch& s) { makeGame(s.recovery(), "old"); },
         true},
        {"killed while the recovery copy was removed",
         [&](const Scratch& s) {
             makeGame(s.game(), "current");
             partial(s.recovery(), "old");
         },
         true},
        {"incomplete game beside a complete copy",
         [&](const Scratch& s) {
             partial(s.game(), "current");
             makeGame(s.recovery(), "old");
         },
         false},
        // An install keeps such a copy aside; activate on its own has no activity to tell.
        {"incomplete copy and no game", [&](const Scratch& s) { partial(s.recovery(), "old"); },
         false,
         "An incomplete copy of the game is in Games/OrbelZolta-Windows.previous. Move it "
         "elsewhere to keep its files, then retry."},
        // A recovery copy that is a link holds nothing: it goes as a link, never followed, and
        // what it leads to is never taken for the old game. Wine can neither remove a link nor
        // rename it without renaming its target, so there the link stays and is named; a
        // dangling link Wine shows to no Windows program, so there the update fails to move the
        // old game aside and nothing moves.
        {"dangling link beside the game",
         [](const Scratch& s) {
             makeGame(s.game(), "current");
             fs::create_directory(s.root / "gone");
             folderLink(s.recovery(), s.root / "gone");
             fs::remove(s.root / "gone");
         },
         folderLinksRemovable(), nullptr},
        {"link to an outside folder beside the game",
         [](const Scratch& s) {
             makeGame(s.game(), "current");
             put(s.root / "outside/canary.txt", "canary");
             folderLink(s.recovery(), s.root / "outside");
         },
         folderLinksRemovable(), unremovable},
        {"link to an outside game and no game folder",
         [](const Scratch& s) {
             makeGame(s.root / "outside", "outside");
             put(s.root / "outside/canary.txt", "canary");
             folderLink(s.recovery(), s.root / "outside");
         },
         folderLinksRemovable(), unremovable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        c.arrange(s);
        Tree game = tree(s.game()), kept = tree(s.recovery()), outside = tree(s.root / "outside");
        Tree fresh = makeGame(s.staged(), "new");
        std::string what = errorText([&] { activate(s.staged(), s.game()); });
        EXPECT_EQ(tree(s.root / "outside"), outside);
        if (c.settled) {
            EXPECT_EQ(what, "(no error)");
            EXPECT_EQ(tree(s.game()), fresh);
            EXPECT_FALSE(present(s.recovery()));
        } else {
            if (c.refusal)
                EXPECT_EQ(what, c.refusal);
            else
                EXPECT_NE(what, "(no error)");
            EXPECT_EQ(tree(s.game()), game);
            EXPECT_EQ(tree(s.recovery()), kept);
            EXPECT_EQ(tree(s.staged()), fresh);
        }
    }
}

// Players move saves or mods to another drive through a folder link and leave files read-only.
// Removing the old game removes the link itself, never what it leads to, and is not stopped by a
// read-only file or folder; the next update then finds no recovery copy in its way.
TEST(Activate, RemovesOldGameWithoutFollowingLinksOrStoppingAtReadOnlyFiles) {
    Scratch s;
    const fs::path elsewhere = s.root / "other drive";
    put(elsewhere / "saves/slot1.sav", "progress");
    put(elsewhere / "mods/mod.pak", "mod");
    const Tree kept = tree(elsewhere);

    makeGame(s.game(), "old");
    folderLink(s.game() / "saves", elsewhere / "saves");
    put(s.game() / "mods/readme.txt", "old");
    folderLink(s.game() / "mods/installed", elsewhere / "mods");
    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(s.game() / "mods/readme.txt", readOnly);
    put(s.game() / "manual/manual.txt", "old");
    fs::permissions(s.game() / "manual/manual.txt", readOnly);
    fs::permissions(s.game() / "manual", readOnly | fs::perms::owner_exec);

    Tree fresh = makeGame(s.staged(), "new");
    activate(s.staged(), s.game());
    EXPECT_EQ(tree(s.game()), fresh);
    EXPECT_EQ(tree(elsewhere), kept);
    if (!folderLinksRemovable()) {
        // Only the two links can stay, and the folder that holds one; nothing else does.
        auto names = [](const fs::path& folder) {
            std::vector<std::string> found;
            for (auto& entry : fs::directory_iterator(folder))
                found.push_back(entry.path().filename().string());
            std::sort(found.begin(), found.end());
            return found;
        };
        EXPECT_EQ(names(s.recovery()), (std::vector<std::string>{"mods", "saves"}));
        EXPECT_EQ(names(s.recovery() / "mods"), std::vector<std::string>{"installed"});
    } else {
        EXPECT_FALSE(fs::exists(s.recovery()));
    }

    // What is left of the old copy beside the complete game does not stop the next update.
    Tree newer = makeGame(s.staged(), "newer");
    activate(s.staged(), s.game());
    EXPECT_EQ(tree(s.game()), newer);
    EXPECT_FALSE(present(s.recovery()));
    EXPECT_EQ(tree(elsewhere), kept);
}

// Beside a complete game, a leftover copy that cannot be removed (a file another program holds,
// a folder the launcher may not write) moves aside under a staging name, which later installs try
// to remove again, and the update goes on. One that cannot even be moved is refused, with a
// message that names it, and nothing moves.
TEST(Activate, MovesAnUnremovableLeftoverCopyAsideOrNamesIt) {
    struct Case {
        const char* name;
        const char* locked; // below the recovery copy
        bool movable;
    };
    const Case cases[] = {
        {"a folder inside the copy is locked", "saves", true},
        {"the copy itself is locked", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        Tree current = makeGame(s.game(), "current");
        makeGame(s.recovery(), "old");
        put(s.recovery() / "saves/slot1.sav", "progress");
        Tree fresh = makeGame(s.staged(), "new");
        std::string what;
        if (!whileLocked(s.recovery() / c.locked,
                         [&] { what = errorText([&] { activate(s.staged(), s.game()); }); }))
            GTEST_SKIP() << "this process cannot lock a folder";
        if (c.movable) {
            EXPECT_EQ(what, "(no error)");
            EXPECT_EQ(tree(s.game()), fresh);
            EXPECT_FALSE(present(s.recovery()));
            std::vector<fs::path> aside = setAside(s.root);
            ASSERT_EQ(aside.size(), 1u);
            EXPECT_TRUE(fs::is_directory(aside[0] / "saves"));
        } else {
            EXPECT_EQ(what, "The old copy of the game in Games/OrbelZolta-Windows.previous cannot "
                            "be removed. It is safe to delete it before retrying.");
            EXPECT_EQ(tree(s.game()), current);
            EXPECT_EQ(tree(s.staged()), fresh);
            EXPECT_TRUE(fs::is_directory(s.recovery()));
            EXPECT_TRUE(setAside(s.root).empty());
        }
    }
}

TEST(Activate, MissingStagedFolderThrowsTheMoveErrorAndChangesNothing) {
    for (bool update : {true, false}) {
        SCOPED_TRACE(update ? "update" : "first install");
        Scratch s;
        Tree old = update ? makeGame(s.game(), "old") : Tree{};
        try {
            activate(s.staged(), s.game());
            ADD_FAILURE() << "activate succeeded";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.path1(), s.staged());
            EXPECT_EQ(e.path2(), s.game());
        }
        EXPECT_EQ(tree(s.game()), old);
        EXPECT_EQ(fs::exists(s.game()), update);
        EXPECT_FALSE(fs::exists(s.recovery()));
    }
}

// Something takes the game folder's name right after the old game moved aside: the staged
// folder cannot move in and the old game cannot move back, so it must stay in the recovery copy.
// The squatting thread races activate, so the attempt repeats until it wins once; every attempt,
// won or lost, must leave a complete old game.
TEST(Activate, FailedMoveBackLeavesOldGameInRecoveryCopy) {
    bool won = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int attempt = 0; !won && std::chrono::steady_clock::now() < deadline; ++attempt) {
        Scratch s;
        Tree old = makeGame(s.game(), "old");
        std::atomic<bool> stop = false;
        std::thread squatter([&] {
            std::error_code ignored;
            while (!stop && !fs::create_directory(s.game(), ignored)) {
            }
        });
        std::string what = errorText([&] { activate(s.staged(), s.game()); });
        stop = true;
        squatter.join();
        if (what == "Installation failed. Your old game is safe in "
                    "Games/OrbelZolta-Windows.previous.") {
            won = true;
            EXPECT_EQ(tree(s.recovery()), old);
            EXPECT_TRUE(fs::is_directory(s.game()));
        } else {
            ASSERT_NE(what, "(no error)");
            ASSERT_EQ(tree(s.game()), old) << what;
            ASSERT_FALSE(fs::exists(s.recovery()));
        }
    }
    EXPECT_TRUE(won);
}

namespace {

// Counts the tries of each path's move or removal; the first `held` of each fail as a file
// another program holds makes them fail.
struct Holder {
    std::map<fs::path, int> tries;
    explicit Holder(int held, std::function<bool(const fs::path&)> holds = {}) {
        injectFileFault([this, held, holds](const fs::path& path) {
            const bool heldHere = !holds || holds(path);
            return ++tries[path] <= held && heldHere ? heldError() : std::error_code{};
        });
    }
    ~Holder() { injectFileFault({}); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
};

} // namespace

// A virus scanner opens the files of a folder just unpacked or moved: each move of the swap and
// the removal of the old game meet a held file the first times and go through when tried again.
TEST(Activate, TriesMovesAndRemovalsAgainWhileAScannerHoldsAFile) {
    Scratch s;
    makeGame(s.game(), "old");
    Tree fresh = makeGame(s.staged(), "new");
    Holder holder(3);
    activate(s.staged(), s.game());
    EXPECT_EQ(tree(s.game()), fresh);
    EXPECT_FALSE(present(s.recovery()));
    EXPECT_FALSE(present(s.staged()));
    // The old game moved aside, the staged game moved in, the recovery copy removed.
    EXPECT_EQ(holder.tries[s.game()], 4);
    EXPECT_EQ(holder.tries[s.staged()], 4);
    EXPECT_EQ(holder.tries[s.recovery()], 4);
}

// A file held for longer than the tries last fails the swap as before, after a few seconds, with
// the old game back in place; a failure no other program causes is not tried again.
TEST(Activate, GivesUpOnAFileHeldTooLongAndNeverWaitsOnOtherFailures) {
    {
        SCOPED_TRACE("held too long");
        Scratch s;
        Tree old = makeGame(s.game(), "old");
        Tree fresh = makeGame(s.staged(), "new");
        Holder holder(1000, [&](const fs::path& path) { return path == s.staged(); });
        const auto start = std::chrono::steady_clock::now();
        try {
            activate(s.staged(), s.game());
            ADD_FAILURE() << "activate succeeded";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), heldError());
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::seconds(4));
        EXPECT_LT(took, std::chrono::seconds(60));
        EXPECT_GT(holder.tries[s.staged()], 2);
        EXPECT_EQ(tree(s.game()), old);
        EXPECT_EQ(tree(s.staged()), fresh);
        EXPECT_FALSE(present(s.recovery()));
    }
    {
        SCOPED_TRACE("staged folder missing");
        Scratch s;
        Tree old = makeGame(s.game(), "old");
        Holder holder(0);
        EXPECT_THROW(activate(s.staged(), s.game()), fs::filesystem_error);
        EXPECT_EQ(holder.tries[s.staged()], 1);
        EXPECT_EQ(holder.tries[s.recovery()], 1); // moved back at once
        EXPECT_EQ(tree(s.game()), old);
    }
}
