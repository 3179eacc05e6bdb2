// The core's platform seam: the few calls that differ between Windows and Linux.
#pragma once

#include <string>

namespace zolta_launcher::platform {

// Strict UTF-8 to UTF-16. False for text that is not well-formed UTF-8 (NUL bytes convert).
[[nodiscard]] bool utf16(const std::string& text, std::u16string& out);

// UTF-16 to UTF-8 with U+FFFD for every unpaired surrogate.
std::string utf8(const std::u16string& text);

} // namespace zolta_launcher::platform

// --- Files by path, with 64-bit offsets ---

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace zolta_launcher::platform {

// fopen with the given mode, by the file's wide name on Windows; null when it cannot be opened.
std::FILE* openFile(const std::filesystem::path& file, const char* mode);

// Moves the stream to a byte offset from its start; false when it cannot.
[[nodiscard]] bool seekFile(std::FILE* file, std::uint64_t offset);

// The stream's length, found by seeking to its end; false when it cannot be found.
[[nodiscard]] bool fileSize(std::FILE* file, std::uint64_t& size);

} // namespace zolta_launcher::platform
