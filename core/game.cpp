#include "launcher_core.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <system_error>

namespace zolta_launcher {

namespace {

constexpr std::uint32_t headerLimit = 0x100000;

std::uint32_t le(const char* bytes, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// The DOS header, then the 64-bit NT headers it points to; nothing else of the file is read.
bool x64Image(const std::filesystem::path& exe) {
    std::ifstream file(exe, std::ios::binary); // opens by the wide name on Windows
    std::array<char, 64> dos{};
    if (!file.read(dos.data(), dos.size()) || le(&dos[0], 2) != 0x5A4D) return false;
    std::uint32_t offset = le(&dos[60], 4); // a negative e_lfanew is huge here and fails
    if (offset > headerLimit) return false;
    std::array<char, 264> nt{};
    if (!file.seekg(offset) || !file.read(nt.data(), nt.size())) return false;
    return le(&nt[0], 4) == 0x00004550 && le(&nt[4], 2) == 0x8664;
}

} // namespace

// Regular files, links followed as opening them follows them: a folder of a file's name is no
// game file.
bool validGame(const std::filesystem::path& exe) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(exe, ignored) || !x64Image(exe)) return false;
    auto runtime = exe.parent_path() / "assets" / "runtime";
    return std::filesystem::is_regular_file(runtime / "scene.bin") &&
           std::filesystem::is_regular_file(runtime / "scene.json");
}

} // namespace zolta_launcher
