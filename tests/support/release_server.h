// Test support for the test release server (tests/net/server.py), for tests run through the
// network test runner (tests/net/netrun): its folder, the faults it plays and the requests it saw.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace release_server {

// The whole file, as bytes; empty when it cannot be read.
inline std::string read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Writes bytes as the whole file, creating its folder.
inline void write(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// The folder the server serves below "/zolta/"; under Wine the runner's Unix path is reached
// through drive Z:.
inline std::filesystem::path served() {
    const char* root = std::getenv("ZOLTA_TEST_ROOT");
    if (!root) throw std::runtime_error("run through tests/net/netrun");
    std::filesystem::path path(root);
    return path.is_absolute() ? path : std::filesystem::path(std::string("Z:") + root);
}

// What the server does with the next requests, by file name.
inline void faults(const nlohmann::json& modes) {
    write(served() / "faults.json", modes.dump());
}

// The requests the server has answered, oldest first.
inline std::vector<nlohmann::json> requests() {
    std::vector<nlohmann::json> all;
    std::istringstream lines(read(served() / "requests.jsonl"));
    for (std::string line; std::getline(lines, line);) all.push_back(nlohmann::json::parse(line));
    return all;
}

// Whether a request for /zolta/NAME has reached the silence of a "stall" fault.
inline bool stalled(const std::string& name) {
    return read(served() / "stalls.jsonl").find("\"/zolta/" + name + "\"") != std::string::npos;
}

// Whether the server has received a request for /zolta/NAME.
inline bool requested(const std::string& name) {
    for (const auto& request : requests())
        if (request.value("path", std::string{}) == "/zolta/" + name) return true;
    return false;
}

} // namespace release_server
