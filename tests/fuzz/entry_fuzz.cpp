// safeEntry on arbitrary bytes: an accepted name must stay below the destination's top folder,
// also as Windows reads it (separators "\" and ":", trailing dots and spaces dropped).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "launcher_core.h"

namespace fs = std::filesystem;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    if (!zolta_launcher::safeEntry(name)) return 0;
    check(name.find_first_of(std::string("\\:\0", 3)) == std::string::npos);

    const fs::path destination = "/destination";
    fs::path target = (destination / name).lexically_normal();
    fs::path inside = target.lexically_relative(destination);
    check(!inside.empty() && *inside.begin() == "OrbelZolta-Windows");

    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        // Only the empty part between the two slashes that end a name is harmless.
        bool last = part.empty() && end + 1 >= name.size();
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        check(last || (!part.empty() && part != "." && part != ".."));
        start = end + 1;
    }
    return 0;
}
