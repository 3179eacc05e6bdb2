// Test support: a scratch folder and a complete game laid out in it.
//
//   TempFolder scratch;                     // a fresh, empty folder; removed with its contents
//   auto exe = layGame(scratch.path / "g"); // g/OrbelZolta.exe, the fixture game, with
//                                           // g/assets/runtime/scene.bin and scene.json
//
// The fixture game (tests/fixtures/game/game.cpp) is a real x64 Windows program; the Linux
// build runs it through Wine. Its options: --smoke (exit 0), --report=FILE (writes its command
// line and working folder), --sleep=MS, --exit=CODE; started without arguments it reads them
// from "OrbelZolta.args" beside it. A test that starts it waits for it to end (waitProcess)
// before its folder goes. A test target using this header calls use_fixture_game(target) in
// tests/CMakeLists.txt, which also defines FIXTURE_GAME, the path of the built fixture.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

struct TempFolder {
    std::filesystem::path path;

    TempFolder() {
        std::random_device random;
        auto base = std::filesystem::canonical(std::filesystem::temp_directory_path());
        do {
            path = base / ("orbel-test-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path));
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// Lays out a complete game in folder (created as needed) and returns its executable's path.
inline std::filesystem::path layGame(const std::filesystem::path& folder,
                                     const std::filesystem::path& name = "OrbelZolta.exe") {
    auto runtime = folder / "assets" / "runtime";
    std::filesystem::create_directories(runtime);
    std::ofstream(runtime / "scene.bin", std::ios::binary) << "scene";
    std::ofstream(runtime / "scene.json", std::ios::binary) << "{}";
    std::filesystem::copy_file(FIXTURE_GAME, folder / name,
                               std::filesystem::copy_options::overwrite_existing);
    return folder / name;
}
