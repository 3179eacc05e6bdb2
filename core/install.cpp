#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "launcher_core.h"
#include "platform/platform.h"

namespace zolta_launcher {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The checksum list must arrive whole within this time, like every document from the server.
constexpr std::uint32_t listTime = 30000;

// Removes the install's staging folder on every exit; a failed removal is not reported.
struct Staging {
    fs::path folder;
    explicit Staging(fs::path made) : folder(std::move(made)) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging() {
        std::error_code ignored;
        platform::removeTree(folder, ignored);
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
        std::error_code ignored;
        if (it->path().filename().native().starts_with(prefix) && it->is_directory(ignored) &&
            !it->is_symlink(ignored))
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
    platform::moveFolder(from, to, ec);
    if (ec) throw fs::filesystem_error("cannot move folder", from, to, ec);
}

fs::path recoveryOf(const fs::path& folder) {
    fs::path recovery = folder;
    recovery += ".previous";
    return recovery;
}

// Finishes what an interrupted activation left: with no game folder a complete recovery copy
// goes back; beside a complete game the swap was done and only the copy's removal was cut
// short. Whatever else stands beside a recovery copy is refused, moving nothing.
void settle(const fs::path& folder) {
    const fs::path recovery = recoveryOf(folder);
    if (!fs::exists(recovery)) return;
    if (!fs::exists(folder)) {
        if (validGame(recovery / "OrbelZolta.exe")) move(recovery, folder);
    } else if (validGame(folder / "OrbelZolta.exe")) {
        std::error_code ignored;
        platform::removeTree(recovery, ignored);
    }
    require(!fs::exists(recovery),
            "A previous recovery copy exists beside the game. Keep it safe before retrying.");
}

} // namespace

void activate(const fs::path& staged, const fs::path& game) {
    require(!gameRunning(game / "OrbelZolta.exe"), "Close Zolta before installing its update.");
    // A sibling of the game folder, never a folder inside it, even for "Games/Game/".
    fs::path folder = game.has_filename() ? game : game.parent_path();
    const fs::path recovery = recoveryOf(folder);
    settle(folder);
    if (!fs::exists(folder)) {
        move(staged, folder);
        return;
    }
    move(folder, recovery);
    try {
        move(staged, folder);
    } catch (...) {
        std::error_code back;
        platform::moveFolder(recovery, folder, back);
        require(!back, "Installation failed. Your old game is safe in "
                       "Games/OrbelZolta-Windows.previous.");
        throw;
    }
    std::error_code ignored;
    platform::removeTree(recovery, ignored);
}

Release install(const fs::path& support, std::atomic<bool>& cancelled, ProgressCallback progress) {
    const fs::path game = support / "Games" / "OrbelZolta-Windows";
    require(!gameRunning(game / "OrbelZolta.exe"), "Close Zolta before installing its update.");
    settle(game);
    // No Cancel is offered while the list is fetched: only its time limit ends a slow server.
    Release release =
        selectRelease(fetch(u"downloads/SHA256SUMS.txt", {}, &cancelled, nullptr, listTime));

    sweep(support);
    const fs::path folder = support / stagingName();
    fs::create_directories(folder);
    Staging staging{folder};
    const fs::path archive = folder / "release.zip";

    progress(stage("downloading", "Downloading Orbel Zolta",
                   "Downloading the Windows release from Orbel."));
    fetch(u"downloads/" + wide(release.fileName), archive, &cancelled, progress);
    require(!cancelled.load(), "Download cancelled. Your existing installation is unchanged.");

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

} // namespace zolta_launcher
