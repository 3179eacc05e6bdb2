// The launcher core: stateless operations that select, download, verify, unpack, install,
// validate and start the game. Every failure is a std::runtime_error carrying a fixed,
// user-facing English message; only activate and validGame's tests of the assets let the
// file-system library's errors pass through unchanged.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

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

// --- Archive checksum and safe extraction ---

// The file's SHA-256 as 64 lowercase hexadecimal digits.
std::string sha256(const std::filesystem::path& file);

// Unpacks the release archive below destination under the entry, size, folder and link rules.
// The folder count (at most 10,000, the folders that names imply included), names that
// differ only in letter case and names that may be another file's short (8.3) name are judged
// before anything is written. Throws at the first
// failure, always with a launcher sentence; what was unpacked before stays.
void extract(const std::filesystem::path& archive, const std::filesystem::path& destination);

// The name as Windows compares file names: each UTF-16 unit upper-cased by its simple mapping
// (Unicode 14, Basic Multilingual Plane). Names that Windows takes for one are equal here.
std::u16string upcase(std::u16string name);

// Whether an archive entry name may be unpacked at all.
[[nodiscard]] bool safeEntry(std::string name);

// The reader's write callback for one file entry: writes count bytes to the std::ofstream behind
// stream and returns count while the stream stays good, else 0. position is not consulted.
std::uint64_t writeChunk(void* stream, std::uint64_t position, const void* data,
                         std::uint64_t count);

// --- Secure download ---

// One HTTPS GET of "/zolta/" + name from the release server. An empty destination returns the
// body (at most 65,536 bytes); otherwise the body goes to that file (at most 512 MiB) and byte
// events go to progress. A set *cancel ends the transfer before its next read. A transfer that
// has not ended within ms milliseconds (0: no limit) fails like a connection that went silent,
// and so does a body that brings fewer than 1 KiB in a minute. A response in any content coding
// but identity is refused as not the requested file. The sentences are core/download.h's.
std::string fetch(const std::u16string& name, const std::filesystem::path& destination,
                  std::atomic<bool>* cancel, ProgressCallback progress, std::uint32_t ms = 0);

// Mebibytes with one decimal, no unit: 1048576 gives "1.0".
std::string mb(std::uint64_t bytes);

// --- Game checks and game start ---

// Whether exe is an x64 Windows executable with assets/runtime/scene.bin and scene.json beside it,
// all three regular files (links followed). Throws only the file-system errors of the assets'
// tests.
[[nodiscard]] bool validGame(const std::filesystem::path& exe);

// Whether a game process runs exe: its image is exe as a file (the same volume and file index on
// Windows, device and inode on Linux), whatever path reached it, or its path is exe's text, as
// the path library normalises it and in any letter case. One that cannot be inspected counts.
// Throws "Cannot check running games".
[[nodiscard]] bool gameRunning(const std::filesystem::path& exe);

// Starts a valid game with its own folder as working folder. Throws "Choose OrbelZolta.exe with
// its complete assets folder." or "Windows could not start Zolta.".
ProcessInfo launch(const std::filesystem::path& exe, const std::u16string& arguments);

// Waits up to ms for the process to end; its exit code, or 259 while it still runs.
std::uint32_t waitProcess(const ProcessInfo& process, std::uint32_t ms);

// Closes both handles of a started process; the process itself goes on.
void closeProcess(ProcessInfo& process);

// --- Install pipeline and activation ---

// Installs the newest published release into support/"Games/OrbelZolta-Windows" through a
// staging folder, a checksum gate and activate. Returns the installed release. Every failure is
// a launcher sentence: a file-system error becomes "Installation failed. Your existing
// installation is unchanged." ("Game archive is corrupt or disk is full" for a full disk).
Release install(const std::filesystem::path& support, std::atomic<bool>& cancelled,
                ProgressCallback progress);

// Swaps staged into game's place, keeping the old game as game + ".previous" until it is done.
void activate(const std::filesystem::path& staged, const std::filesystem::path& game);

// The platform's moveFolder and removeTree, tried again while they fail only because another
// program (a virus scanner, the indexer) briefly holds a file they need: with growing pauses, a
// few seconds of them in all, after which the last failure stands. Any other failure returns at
// once. A removal tried again takes what is left.
void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec);
void removeTree(const std::filesystem::path& path, std::error_code& ec);

// For tests, where no program can be made to hold a file: while set, every try of moveFolder and
// removeTree first calls the fault with the path it moves or removes; an error it returns is that
// try's failure, and the file system is not touched.
using FileFault = std::function<std::error_code(const std::filesystem::path&)>;
void injectFileFault(FileFault fault);

} // namespace zolta_launcher
