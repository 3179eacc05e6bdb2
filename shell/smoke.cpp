// The self-test: the core's rules against fixed fixtures, then a real install from the release
// server into a folder of its own, the installed game's smoke run and a failed activation that
// must leave the game in place. Main thread only; no window.
#include "shell.h"

#include <launcher_core.h>

#include <array>
#include <fstream>

namespace launcher {

namespace {

using namespace zolta_launcher;

// FIPS 180-2's digest of "abc".
constexpr const char* abcDigest =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::uint32_t gameWaitMs = 45000;

void checkEntries() {
    struct Fixture {
        const char* name;
        bool accepted;
    };
    constexpr std::array<Fixture, 4> fixtures{{
        {"OrbelZolta-Windows/../escape", false},
        {"OrbelZolta-Windows/C:/escape", false},
        {"OrbelZolta-Windows/CON", false},
        {"OrbelZolta-Windows/assets/runtime/scene.bin", true},
    }};
    for (const auto& fixture : fixtures)
        require(safeEntry(fixture.name) == fixture.accepted, "Archive path checks failed");
}

void checkSelection() {
    const std::string sums = std::string(64, 'a') + "  OrbelZolta-3.9.0-Windows-x64.zip\n" +
                             std::string(64, 'b') + "  OrbelZolta-3.10.0-Windows-x64.zip\n";
    require(selectRelease(sums).versionText == "3.10.0", "Version selection failed");
}

void checkHash(const std::filesystem::path& folder) {
    const auto file = folder / "hash-test";
    {
        std::ofstream out(file, std::ios::out | std::ios::trunc);
        out << "abc";
    }
    require(sha256(file) == abcDigest, "SHA-256 test failed");
}

std::uint32_t smokeGame(const std::filesystem::path& exe) {
    ProcessInfo game = launch(exe, u"--smoke");
    const std::uint32_t code = waitProcess(game, gameWaitMs);
    closeProcess(game);
    return code;
}

bool rollbackHolds(const std::filesystem::path& folder, const std::filesystem::path& exe) {
    try {
        activate(folder / "missing-staged", exe.parent_path());
    } catch (...) {
        return validGame(exe);
    }
    return false;
}

void run(const std::filesystem::path& folder, nlohmann::json& report) {
    checkEntries();
    report["archivePathChecks"] = true;
    checkSelection();
    report["versionSelection"] = true;
    checkHash(folder);
    report["sha256"] = true;

    report["health"] = document(u"api/health");
    report["release"] = document(u"downloads/releases.json");

    const auto smokeProgress = [&report](nlohmann::json event) {
        report["progress"] = std::move(event);
    };
    const Release release = install(folder, cancelled, smokeProgress);
    report["installedVersion"] = release.versionText;
    report["downloadHash"] = release.checksum;

    const auto exe = folder / "Games/OrbelZolta-Windows/OrbelZolta.exe";
    const std::uint32_t exit = smokeGame(exe);
    require(exit == 0, "Installed game smoke launch failed or timed out");
    report["gameLaunchExit"] = exit;

    require(rollbackHolds(folder, exe), "Replacement rollback failed");
    report["replacementRollback"] = true;
}

} // namespace

int smoke(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    nlohmann::json report = nlohmann::json::object();
    try {
        run(folder, report);
        report["ok"] = true;
    } catch (const std::exception& error) {
        report["ok"] = false;
        // A message that is not UTF-8 would make the report itself unwritable.
        report["error"] = clean(error.what());
    }
    std::ofstream out(folder / "launcher-smoke.json", std::ios::out | std::ios::trunc);
    out << report.dump(2);
    return report["ok"] == true ? 0 : 1;
}

} // namespace launcher
