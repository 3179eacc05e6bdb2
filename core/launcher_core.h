// The launcher core: stateless operations that select, download, verify, unpack, install,
// validate and start the game. Every failure is a std::runtime_error carrying a fixed,
// user-facing English message; file-system errors pass through unchanged.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace zolta_launcher {

// The selected published release.
struct Release {
    std::string fileName;    // "OrbelZolta-" + versionText + "-Windows-x64.zip"
    std::string checksum;    // 64 lowercase hexadecimal digits, as published
    std::string versionText; // three runs of 1 to 6 digits joined by dots, as published
};

struct VersionTriple {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
    friend auto operator<=>(const VersionTriple&, const VersionTriple&) = default;
};

// Receives stage and byte events, synchronously, on the thread running the operation.
using ProgressCallback = std::function<void(nlohmann::json)>;

// The platform's record of a started process; both handles belong to the caller.
struct ProcessInfo {
    std::intptr_t process = 0;
    std::intptr_t thread = 0;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
};

// The first well-formed Windows line with the highest version in a checksum list.
// Throws "No verified Windows release is published" when no line counts.
Release selectRelease(const std::string& sums);

// "1.2.3" or "1.2.3-anything" as a triple; anything else gives 0.0.0. Never throws.
VersionTriple version(const std::string& text);

// Throws std::runtime_error(message) when ok is false.
void require(bool ok, const char* message);

// Strict UTF-8 to UTF-16; throws "Invalid UTF-8 path" for text that is not well-formed.
std::u16string wide(const std::string& text);

// UTF-16 to UTF-8; never fails: invalid units become U+FFFD.
std::string narrow(const std::u16string& text);

} // namespace zolta_launcher
