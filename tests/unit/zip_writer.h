// A small ZIP writer for tests: real archives whose names, attributes, declared sizes, CRCs and
// bytes can be set to anything, including what a well-behaved writer would never produce.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

namespace ziptest {

struct Entry {
    std::string name{};
    std::string data{};
    std::uint16_t method = 8;            // 0 stored, 8 deflate; anything else is written as is
    std::uint32_t attributes = 0;        // external attributes
    std::optional<std::uint64_t> size{}; // declared uncompressed size, else data's
    std::optional<std::uint32_t> crc{};  // else data's CRC-32
    std::uint16_t madeBy = 0x031E;       // Unix, version 3.0
    std::optional<std::string> packed{}; // the stored bytes, else data as method makes them
};

inline std::string deflated(const std::string& data) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// The archive's bytes. zip64 writes ZIP64 end records and extra fields for every entry; an
// entry declaring 4 GiB or more gets its ZIP64 extra field either way.
inline std::string zipBytes(const std::vector<Entry>& entries, bool zip64 = false) {
    std::string out, central;
    for (const Entry& e : entries) {
        std::string packed = e.packed.value_or(e.method == 8 ? deflated(e.data) : e.data);
        std::uint64_t size = e.size.value_or(e.data.size()), offset = out.size();
        auto crc = e.crc.value_or(static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()))));
        bool wide = zip64 || size >= 0xFFFFFFFF;
        std::string extra;
        if (wide) {
            put(extra, 0x0001, 2);
            put(extra, 24, 2);
            put(extra, size, 8);
            put(extra, packed.size(), 8);
            put(extra, offset, 8);
        }
        auto narrow = [&](std::uint64_t v) { return wide ? 0xFFFFFFFF : v; };
        auto common = [&](std::string& h) {
            put(h, wide ? 45 : 20, 2); // version needed
            put(h, 0, 2);              // flags
            put(h, e.method, 2);
            put(h, 0, 4); // time and date
            put(h, crc, 4);
            put(h, narrow(packed.size()), 4);
            put(h, narrow(size), 4);
            put(h, e.name.size(), 2);
            put(h, extra.size(), 2);
        };
        put(out, 0x04034b50, 4);
        common(out);
        out += e.name + extra + packed;

        put(central, 0x02014b50, 4);
        put(central, e.madeBy, 2);
        common(central);
        put(central, 0, 2); // comment length
        put(central, 0, 2); // disk
        put(central, 0, 2); // internal attributes
        put(central, e.attributes, 4);
        put(central, narrow(offset), 4);
        central += e.name + extra;
    }
    std::uint64_t directory = out.size(), count = entries.size();
    out += central;
    if (zip64) {
        std::uint64_t record = out.size();
        put(out, 0x06064b50, 4);
        put(out, 44, 8);
        put(out, 45, 2);
        put(out, 45, 2);
        put(out, 0, 4);
        put(out, 0, 4);
        put(out, count, 8);
        put(out, count, 8);
        put(out, central.size(), 8);
        put(out, directory, 8);
        put(out, 0x07064b50, 4);
        put(out, 0, 4);
        put(out, record, 8);
        put(out, 1, 4);
    }
    put(out, 0x06054b50, 4);
    put(out, 0, 4); // disks
    put(out, zip64 ? 0xFFFF : count, 2);
    put(out, zip64 ? 0xFFFF : count, 2);
    put(out, zip64 ? 0xFFFFFFFF : central.size(), 4);
    put(out, zip64 ? 0xFFFFFFFF : directory, 4);
    put(out, 0, 2); // comment length
    return out;
}

// Writes bytes to file; with ZIP_SEED_DIR set, also keeps a copy there as a fuzzing seed.
inline void save(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    if (const char* seeds = std::getenv("ZIP_SEED_DIR")) {
        static int next = 0;
        std::ofstream(std::filesystem::path(seeds) / ("seed-" + std::to_string(next++) + ".zip"),
                      std::ios::binary | std::ios::trunc)
            << bytes;
    }
}

} // namespace ziptest
