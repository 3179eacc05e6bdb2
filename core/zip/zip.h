// A ZIP reader over zlib that does what extraction needs and no more: it finds the end of the
// central directory (ZIP64 included), describes entries and streams one entry (stored or
// deflate) through a write callback, verifying its CRC-32. Every offset and length read from the
// archive is checked against the file before use; nothing is allocated from a declared size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zolta_launcher::zip {

// What the central directory says about one entry.
struct Stat {
    std::string name;             // the stored name up to its first zero byte
    std::uint32_t attributes = 0; // external attributes
    std::uint64_t size = 0;       // declared uncompressed size
    std::uint64_t packedSize = 0; // declared compressed size
    std::uint64_t offset = 0;     // of the local header
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
    bool directory = false; // stored name ends in "/" or the DOS directory bit 0x10 is set
};

// Receives an entry's data in order; any return other than count abandons the entry.
using Write = std::uint64_t (*)(void* opaque, std::uint64_t position, const void* data,
                                std::uint64_t count);

struct Work; // buffers and inflate state, made by init

// A reader over a FILE stream it does not own. Zero-initialised until init succeeds.
struct Reader {
    std::FILE* file = nullptr;
    std::uint64_t size = 0;         // archive length
    std::uint64_t entries = 0;      // as the end record declares, checked against the directory
    std::uint64_t directory = 0;    // central directory start
    std::uint64_t directoryEnd = 0; // and end
    std::uint64_t cursor = 0;       // index of the central header at cursorOffset
    std::uint64_t cursorOffset = 0;
    Work* work = nullptr;

    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader();
};

// Opens the reader over an open stream; the size is found by seeking. False for anything that is
// not a well-formed single-disk ZIP archive.
[[nodiscard]] bool init(Reader& reader, std::FILE* file);

// The number of entries.
std::uint64_t count(const Reader& reader);

// The entry at index (0 to count - 1); false when its central header cannot be read.
[[nodiscard]] bool stat(Reader& reader, std::uint64_t index, Stat& out);

// Streams the entry's data into write in chunks of at most 256 KiB; a deflate entry without
// compressed bytes is an empty file. False for an unsupported method or encryption, a bad local
// header, data outside the file, data longer or shorter than declared, corrupt deflate data, a
// CRC-32 mismatch or a write that returns less than its count.
[[nodiscard]] bool extract(Reader& reader, std::uint64_t index, Write write, void* opaque);

// Releases what init made; the stream stays open. Safe to call twice.
void end(Reader& reader);

} // namespace zolta_launcher::zip
