// Test support for installs against the test release server: game trees, their archives in the
// release layout, and publishing them in the server's folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "launcher_core.h"
#include "release_server.h"
#include "zip_writer.h"

namespace installs {

namespace fs = std::filesystem;

// A folder's files by relative path, with their contents.
using Tree = std::map<std::string, std::string>;

using release_server::read;

inline Tree tree(const fs::path& folder) {
    Tree files;
    if (!fs::is_directory(folder)) return files;
    for (auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(folder).generic_string()] = read(entry.path());
    return files;
}

// A complete game of one release: the fixture executable, the two assets and `count` data files
// of `size` bytes. Every file but the executable names the release, so a mix of two shows.
inline Tree game(const std::string& release, int count = 4, std::size_t size = 80000) {
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>{}(release)));
    Tree files{{"OrbelZolta.exe", read(FIXTURE_GAME)},
               {"assets/runtime/scene.bin", "scene " + release},
               {"assets/runtime/scene.json", "{\"release\":\"" + release + "\"}"}};
    for (int i = 0; i < count; ++i) {
        std::string data = release;
        while (data.size() < size) data += std::to_string(random());
        files["data/part" + std::to_string(i) + ".bin"] = data;
    }
    return files;
}

// The archive entries of a game tree, below the release's top folder.
inline std::vector<ziptest::Entry> entries(const Tree& files) {
    std::vector<ziptest::Entry> out{{"OrbelZolta-Windows/", "", 0, 0x10}};
    for (auto& [name, data] : files) out.push_back({"OrbelZolta-Windows/" + name, data});
    return out;
}

// The release marker as the installed game must hold it: text mode, so the platform's newline.
inline std::string marker(const std::string& digest, const std::string& release) {
    fs::path probe = fs::temp_directory_path() / "newline-probe.txt";
    std::ofstream(probe) << "\n";
    std::string nl = read(probe);
    fs::remove(probe);
    return "{" + nl + "  \"sha256\": \"" + digest + "\"," + nl + "  \"version\": \"" + release +
           "\"" + nl + "}";
}

// The folder the test release server serves, emptied of earlier tests' files.
inline fs::path servedRoot() {
    fs::path root = release_server::served();
    for (const char* name : {"downloads", "faults.json", "requests.jsonl"})
        fs::remove_all(root / name);
    return root;
}

// Publishes release as the only line of the checksum list, with the archive built from entries;
// returns the archive's digest. wrongDigest lists it with its last digit changed.
inline std::string publish(const fs::path& root, const std::string& release,
                           const std::vector<ziptest::Entry>& archive, bool wrongDigest = false) {
    std::string name = "OrbelZolta-" + release + "-Windows-x64.zip";
    fs::create_directories(root / "downloads");
    ziptest::save(root / "downloads" / name, ziptest::zipBytes(archive));
    std::string digest = zolta_launcher::sha256(root / "downloads" / name);
    std::string listed = digest;
    if (wrongDigest) listed.back() = listed.back() == '0' ? '1' : '0';
    release_server::write(root / "downloads/SHA256SUMS.txt",
                          "# checksums\n" + listed + "  " + name + "\r\n");
    return digest;
}

} // namespace installs
