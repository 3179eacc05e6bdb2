#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "download.h"
#include "launcher_core.h"
#include "platform/files.h"
#include "platform/process.h"

namespace zolta_launcher {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Removes the install's staging folder on every exit; a failed removal is not reported.
struct Staging {
    fs::path folder;
    explicit Staging(fs::path made) : folder(std::move(made)) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging() {
        std::error_code ignored;
        removeTree(folder, ignored);
    }
};

// One launcher runs per data folder, so a staging folder that is not this run's was left by an
// install that was killed: it may hold a whole archive and its unpacked copy.
void sweep(const fs::path& support) {
    // Compared in the platform's own encoding: any other name in the folder, whatever its
    // characters, is skipped without a conversion that could fail.
    static const fs::path::string_type prefix = fs::path("staging-").native();
    std::error_code ec;
    for (fs::directory_iterator it(support, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().native().starts_with(prefix)) continue;
        // The entry itself: a link (a junction too) goes as a link, never followed.
        std::error_code ignored;
        fs::file_type type = platform::entryType(it->path(), ignored);
        if (type == fs::file_type::directory || type == fs::file_type::symlink)
            platform::removeTree(it->path(), ignored);
    }
}

fs::path stagingName() {
    return "staging-" + std::to_string(platform::processId()) + "-" +
           std::to_string(platform::milliseconds());
}

json stage(const char* name, const char* status, const char* message) {
    return {{"stage", name}, {"status", status}, {"message", message}};
}

// Written in text mode, so the line breaks are the platform's; a failure only loses the marker.
void mark(const fs::path& folder, const Release& release) {
    std::ofstream out(folder / "launcher-release.json", std::ios::trunc);
    out << json{{"sha256", release.checksum}, {"version", release.versionText}}.dump(2);
}

void move(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    moveFolder(from, to, ec);
    if (ec) throw fs::filesystem_error("cannot move folder", from, to, ec);
}

fs::path recoveryOf(const fs::path& folder) {
    fs::path recovery = folder;
    recovery += ".previous";
    return recovery;
}

// What stands at path itself, a link not followed; an error other than a missing path throws.
fs::file_type entry(const fs::path& path) {
    std::error_code ec;
    fs::file_type type = platform::entryType(path, ec);
    if (ec) throw fs::filesystem_error("cannot read file status", path, ec);
    return type;
}

// Removes a recovery copy that nothing needs any more. What cannot be removed (a file another
// program holds, a link Wine cannot remove) moves aside under a staging name in the data folder,
// which every later install's sweep tries again. False when it stays where it is.
bool discard(const fs::path& recovery, const fs::path& support) {
    std::error_code ec;
    removeTree(recovery, ec);
    if (!ec && entry(recovery) == fs::file_type::not_found) return true;
    // Apart from this run's own staging folder, which may be named in the same millisecond.
    fs::path aside = support / stagingName();
    aside += "-previous";
    moveFolder(recovery, aside, ec);
    return !ec;
}

// Moves an incomplete recovery copy with no game beside it (a repair of a damaged game was
// killed between its moves) to the first free name folder + ".incomplete" or ".incomplete-N",
// which no sweep removes, and tells the activity where. Nothing of it is deleted. Without
// progress (activate on its own has no activity to tell) nothing moves.
void keepIncomplete(const fs::path& recovery, const fs::path& folder,
                    const ProgressCallback& progress) {
    for (int n = 1; progress && n <= 100; ++n) {
        fs::path aside = folder;
        aside += n == 1 ? std::string(".incomplete") : ".incomplete-" + std::to_string(n);
        if (entry(aside) != fs::file_type::not_found) continue;
        std::error_code ec;
        moveFolder(recovery, aside, ec);
        if (ec) break;
        progress({{"record", "An interrupted install left an incomplete game. Its files are kept "
                             "in Games/" +
                                 narrow(aside.filename().u16string()) + "."}});
        return;
    }
    throw std::runtime_error("An incomplete copy of the game is in "
                             "Games/OrbelZolta-Windows.previous. Move it elsewhere to keep its "
                             "files, then retry.");
}

// Finishes what an interrupted activation left: with no game folder a complete recovery copy
// goes back and an incomplete one is kept aside; beside a complete game the swap was done and
// only the copy's removal was cut short. A recovery copy that is a link was never made by an
// activation and holds nothing: it goes as a link, never followed. Whatever else stands beside a
// recovery copy is refused, moving nothing. The game folder lies in support / "Games".
void settle(const fs::path& folder, const fs::path& support, const ProgressCallback& progress) {
    const fs::path recovery = recoveryOf(folder);
    const fs::file_type type = entry(recovery);
    if (type == fs::file_type::not_found) return;
    bool complete = false;
    if (type == fs::file_type::symlink) {
        complete = true;
    } else if (!fs::exists(folder)) {
        if (type == fs::file_type::directory && validGame(recovery / "OrbelZolta.exe"))
            move(recovery, folder);
        else
            keepIncomplete(recovery, folder, progress);
    } else {
        complete = validGame(folder / "OrbelZolta.exe");
    }
    if (complete)
        require(discard(recovery, support),
                "The old copy of the game in Games/OrbelZolta-Windows.previous cannot be "
                "removed. It is safe to delete it before retrying.");
    require(entry(recovery) == fs::file_type::not_found,
            "A previous recovery copy exists beside the game. Keep it safe before retrying.");
}

} // namespace

void activate(const fs::path& staged, const fs::path& game) {
    require(!gameRunning(game / "OrbelZolta.exe"), "Close Zolta before installing its update.");
    // A sibling of the game folder, never a folder inside it, even for "Games/Game/".
    fs::path folder = game.has_filename() ? game : game.parent_path();
    const fs::path recovery = recoveryOf(folder);
    settle(folder, folder.parent_path().parent_path(), nullptr);
    if (!fs::exists(folder)) {
        move(staged, folder);
        return;
    }
    move(folder, recovery);
    try {
        move(staged, folder);
    } catch (...) {
        std::error_code back;
        moveFolder(recovery, folder, back);
        require(!back, "Installation failed. Your old game is safe in "
                       "Games/OrbelZolta-Windows.previous.");
        throw;
    }
    std::error_code ignored;
    removeTree(recovery, ignored);
}

namespace {

Release installSteps(const fs::path& support, std::atomic<bool>& cancelled,
                     ProgressCallback progress) {
    const fs::path game = support / "Games" / "OrbelZolta-Windows";
    require(!gameRunning(game / "OrbelZolta.exe"), "Close Zolta before installing its update.");
    settle(game, support, progress);
    // No Cancel is offered while the list is fetched: only its time limit ends a slow server.
    Release release =
        selectRelease(fetch(u"downloads/SHA256SUMS.txt", {}, &cancelled, nullptr, documentTime));

    sweep(support);
    const fs::path folder = support / stagingName();
    fs::create_directories(folder);
    Staging staging{folder};
    const fs::path archive = folder / "release.zip";

    progress(stage("downloading", "Downloading Orbel Zolta",
                   "Downloading the Windows release from Orbel."));
    fetch(u"downloads/" + wide(release.fileName), archive, &cancelled, progress);
    require(!cancelled.load(), sentences::cancelled);

    progress(stage("verifying", "Verifying download", "Checking the published SHA-256 checksum."));
    require(sha256(archive) == release.checksum, "Checksum mismatch. Nothing was installed.");

    progress(stage("installing", "Installing Zolta", "Unpacking and checking the game files."));
    extract(archive, folder / "unpacked");
    const fs::path staged = folder / "unpacked" / "OrbelZolta-Windows";
    require(validGame(staged / "OrbelZolta.exe"),
            "The archive does not contain a complete Windows Zolta game.");
    mark(staged, release);

    fs::create_directories(support / "Games");
    activate(staged, game);
    return release;
}

} // namespace

Release install(const fs::path& support, std::atomic<bool>& cancelled, ProgressCallback progress) {
    // The file-system library's errors speak of paths in its own words. Every step that raises
    // one leaves the game folder as it was (activate moves the old game back itself), so the
    // player learns just that.
    try {
        return installSteps(support, cancelled, std::move(progress));
    } catch (const std::system_error& error) {
        throw std::runtime_error(error.code() == std::errc::no_space_on_device
                                     ? "Game archive is corrupt or disk is full"
                                     : "Installation failed. Your existing installation is "
                                       "unchanged.");
    }
}

} // namespace zolta_launcher
