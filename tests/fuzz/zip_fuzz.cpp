// The ZIP reader over every entry of an arbitrary file, then extract into a scratch folder.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "launcher_core.h"
#include "platform/files.h"
#include "zip/zip.h"

namespace fs = std::filesystem;
using namespace zolta_launcher;

namespace {

// Bounds what one input may decompress, so overlapping entries cannot stall the run.
std::uint64_t sink(void* budget, std::uint64_t, const void*, std::uint64_t count) {
    auto& left = *static_cast<std::uint64_t*>(budget);
    if (count > left) return 0;
    left -= count;
    return count;
}

// A folder of the run's own, removed when the run ends normally.
struct Scratch {
    fs::path dir =
        fs::temp_directory_path() / ("zip-fuzz-" + std::to_string(std::random_device{}()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

const fs::path& scratch() {
    static const Scratch made;
    return made.dir;
}

// What extract would write: the sum of the declared sizes (saturating) and the folders the names
// imply.
struct Writes {
    std::uint64_t bytes = 0;
    std::size_t folders = 0;
};

// What the entries declare; also streams every entry through the reader.
Writes readAll(const fs::path& file) {
    std::uint64_t declared = 0, budget = 16 << 20;
    std::set<std::string> folders;
    std::FILE* stream = platform::openFile(file, "rb");
    if (!stream) return {~0ull, 0};
    zip::Reader reader;
    if (zip::init(reader, stream)) {
        std::uint64_t count = std::min<std::uint64_t>(zip::count(reader), 10001);
        for (std::uint64_t i = 0; i < count; ++i) {
            zip::Stat entry;
            if (!zip::stat(reader, i, entry)) continue;
            declared += std::min<std::uint64_t>(entry.size, ~0ull - declared);
            for (auto slash = entry.name.find('/'); slash != std::string::npos;
                 slash = entry.name.find('/', slash + 1))
                folders.insert(entry.name.substr(0, slash));
            if (!entry.directory) (void)zip::extract(reader, i, sink, &budget);
        }
    }
    zip::end(reader);
    std::fclose(stream);
    return {declared, folders.size()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fs::path file = scratch() / "input.zip", out = scratch() / "out";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    // extract writes what entries declare, up to 2 GiB and 10,000 folders; keep each run small (the
    // unit tests try the limits themselves).
    const auto writes = readAll(file);
    if (writes.bytes <= (16 << 20) && writes.folders <= 500) {
        try {
            extract(file, out);
        } catch (const std::exception&) {
        }
        fs::remove_all(out);
    }
    return 0;
}
