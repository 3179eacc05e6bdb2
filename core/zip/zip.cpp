#include "zip.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <zlib.h>

#include "platform/files.h"

namespace zolta_launcher::zip {

namespace {

constexpr std::size_t chunk = 256 * 1024;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t localSignature = 0x04034b50;
constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t end64Signature = 0x06064b50;
constexpr std::uint32_t locatorSignature = 0x07064b50;
constexpr std::size_t centralLength = 46;
constexpr std::size_t localLength = 30;
constexpr std::size_t endLength = 22;
constexpr std::size_t locatorLength = 20;
constexpr std::size_t end64Length = 56;
constexpr std::uint32_t wide32 = 0xFFFFFFFF; // a field whose value is in the ZIP64 extra

std::uint16_t u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(u16(p)) | static_cast<std::uint32_t>(u16(p + 2)) << 16;
}

std::uint64_t u64(const unsigned char* p) {
    return static_cast<std::uint64_t>(u32(p)) | static_cast<std::uint64_t>(u32(p + 4)) << 32;
}

// Whether [offset, offset + length) lies within [0, limit).
bool within(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

} // namespace

struct Work {
    z_stream inflater{};
    bool inflating = false;
    unsigned char in[chunk];
    unsigned char out[chunk];
};

namespace {

bool readAt(Reader& reader, std::uint64_t offset, void* out, std::size_t length) {
    return within(offset, length, reader.size) && platform::seekFile(reader.file, offset) &&
           std::fread(out, 1, length, reader.file) == length;
}

// The last end record whose fixed part and comment fit in the file: its offset, or false.
bool findEnd(Reader& reader, std::uint64_t& at) {
    if (reader.size < endLength) return false;
    std::size_t tail = static_cast<std::size_t>(
        std::min<std::uint64_t>(reader.size, endLength + 0xFFFF + locatorLength));
    unsigned char* bytes = reader.work->in;
    std::uint64_t start = reader.size - tail;
    if (!readAt(reader, start, bytes, tail)) return false;
    for (std::size_t i = tail - endLength + 1; i-- > 0;) {
        if (u32(bytes + i) == endSignature && i + endLength + u16(bytes + i + 20) <= tail) {
            at = start + i;
            return true;
        }
    }
    return false;
}

// Reads the end records and sets the directory's place and entry count.
bool readEnd(Reader& reader) {
    std::uint64_t at = 0;
    unsigned char record[end64Length];
    if (!findEnd(reader, at) || !readAt(reader, at, record, endLength)) return false;
    std::uint64_t entries = u16(record + 10), size = u32(record + 12), offset = u32(record + 16);
    bool oneDisk = u16(record + 4) == 0 && u16(record + 6) == 0 && u16(record + 8) == entries;
    std::uint64_t limit = at;

    unsigned char locator[locatorLength];
    if (at >= locatorLength && readAt(reader, at - locatorLength, locator, locatorLength) &&
        u32(locator) == locatorSignature) {
        std::uint64_t end64 = u64(locator + 8);
        limit = at - locatorLength;
        if (u32(locator + 4) != 0 || u32(locator + 16) > 1 || !within(end64, end64Length, limit) ||
            !readAt(reader, end64, record, end64Length) || u32(record) != end64Signature)
            return false;
        entries = u64(record + 32);
        size = u64(record + 40);
        offset = u64(record + 48);
        oneDisk = u32(record + 16) == 0 && u32(record + 20) == 0 && u64(record + 24) == entries;
        limit = end64;
    }
    if (!oneDisk || !within(offset, size, limit) || entries > size / centralLength) return false;
    reader.entries = entries;
    reader.directory = offset;
    reader.directoryEnd = offset + size;
    return true;
}

// The fixed part of the central header at offset and the offset of the header after it.
bool header(Reader& reader, std::uint64_t offset, unsigned char* fixed, std::uint64_t& next) {
    if (!within(offset, centralLength, reader.directoryEnd) ||
        !readAt(reader, offset, fixed, centralLength) || u32(fixed) != centralSignature)
        return false;
    std::uint64_t variable = std::uint64_t{u16(fixed + 28)} + u16(fixed + 30) + u16(fixed + 32);
    next = offset + centralLength + variable;
    return within(offset + centralLength, variable, reader.directoryEnd);
}

// Fills the fields that are wide32 in the header from the ZIP64 extra field, in its fixed order.
bool wideFields(const unsigned char* extra, std::size_t length, Stat& out) {
    bool needed[] = {out.size == wide32, out.packedSize == wide32, out.offset == wide32};
    std::uint64_t* fields[] = {&out.size, &out.packedSize, &out.offset};
    if (!needed[0] && !needed[1] && !needed[2]) return true;
    for (std::size_t at = 0; at + 4 <= length;) {
        std::size_t id = u16(extra + at), size = u16(extra + at + 2);
        if (size > length - at - 4) return false;
        if (id == 0x0001) {
            const unsigned char* p = extra + at + 4;
            std::size_t used = 0;
            for (int i = 0; i < 3; ++i) {
                if (!needed[i]) continue;
                if (size - used < 8) return false;
                *fields[i] = u64(p + used);
                used += 8;
            }
            return true;
        }
        at += 4 + size;
    }
    return false;
}

bool describe(Reader& reader, std::uint64_t offset, Stat& out) {
    unsigned char fixed[centralLength];
    std::uint64_t next = 0;
    if (!header(reader, offset, fixed, next)) return false;
    std::size_t nameLength = u16(fixed + 28), extraLength = u16(fixed + 30);
    out = {};
    out.flags = u16(fixed + 8);
    out.method = u16(fixed + 10);
    out.crc = u32(fixed + 16);
    out.packedSize = u32(fixed + 20);
    out.size = u32(fixed + 24);
    out.attributes = u32(fixed + 38);
    out.offset = u32(fixed + 42);
    out.name.resize(nameLength); // at most 65,535 bytes, all of them inside the directory
    unsigned char* extra = reader.work->in;
    if (!readAt(reader, offset + centralLength, out.name.data(), nameLength) ||
        !readAt(reader, offset + centralLength + nameLength, extra, extraLength) ||
        !wideFields(extra, extraLength, out))
        return false;
    out.directory = (nameLength > 0 && out.name.back() == '/') || (out.attributes & 0x10) != 0;
    out.name.resize(std::strlen(out.name.c_str()));
    return true;
}

bool copyStored(Reader& reader, const Stat& entry, std::uint64_t data, Write write, void* opaque,
                std::uint32_t& crc) {
    if (entry.packedSize != entry.size) return false;
    Work& work = *reader.work;
    for (std::uint64_t done = 0; done < entry.size;) {
        auto length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, entry.size - done));
        if (!readAt(reader, data + done, work.in, length)) return false;
        crc = static_cast<std::uint32_t>(crc32(crc, work.in, static_cast<uInt>(length)));
        if (write(opaque, done, work.in, length) != length) return false;
        done += length;
    }
    return true;
}

bool inflateEntry(Reader& reader, const Stat& entry, std::uint64_t data, Write write, void* opaque,
                  std::uint32_t& crc) {
    // Some archivers store an empty file as deflate without a single compressed byte, not even
    // the empty stream's end block.
    if (entry.packedSize == 0) return entry.size == 0;
    Work& work = *reader.work;
    z_stream& z = work.inflater;
    if (!work.inflating) {
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
        work.inflating = true;
    } else if (inflateReset(&z) != Z_OK) {
        return false;
    }
    if (!platform::seekFile(reader.file, data)) return false;
    std::uint64_t unread = entry.packedSize, done = 0;
    z.avail_in = 0;
    for (;;) {
        if (z.avail_in == 0 && unread > 0) {
            auto length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, unread));
            if (std::fread(work.in, 1, length, reader.file) != length) return false;
            unread -= length;
            z.next_in = work.in;
            z.avail_in = static_cast<uInt>(length);
        }
        z.next_out = work.out;
        z.avail_out = chunk;
        int status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
        std::size_t produced = chunk - z.avail_out;
        // Never write past the declared size: the size limit holds for what lands on disk.
        if (produced > entry.size - done) return false;
        if (produced > 0) {
            crc = static_cast<std::uint32_t>(crc32(crc, work.out, static_cast<uInt>(produced)));
            if (write(opaque, done, work.out, produced) != produced) return false;
            done += produced;
        }
        if (status == Z_STREAM_END) return done == entry.size;
        // Out of input with the stream unfinished: the data is truncated.
        if (status == Z_BUF_ERROR && z.avail_in == 0 && unread == 0) return false;
    }
}

} // namespace

Reader::~Reader() {
    end(*this);
}

bool init(Reader& reader, std::FILE* file) {
    end(reader);
    reader.file = file;
    reader.work = new (std::nothrow) Work;
    if (!reader.work || !platform::fileSize(file, reader.size) || !readEnd(reader)) {
        end(reader);
        return false;
    }
    // Every declared header must be there before any entry is handed out.
    std::uint64_t offset = reader.directory;
    unsigned char fixed[centralLength];
    for (std::uint64_t i = 0; i < reader.entries; ++i) {
        if (!header(reader, offset, fixed, offset)) {
            end(reader);
            return false;
        }
    }
    reader.cursor = 0;
    reader.cursorOffset = reader.directory;
    return true;
}

std::uint64_t count(const Reader& reader) {
    return reader.entries;
}

bool stat(Reader& reader, std::uint64_t index, Stat& out) {
    if (!reader.work || index >= reader.entries) return false;
    if (index < reader.cursor) {
        reader.cursor = 0;
        reader.cursorOffset = reader.directory;
    }
    unsigned char fixed[centralLength];
    while (reader.cursor < index) {
        if (!header(reader, reader.cursorOffset, fixed, reader.cursorOffset)) return false;
        ++reader.cursor;
    }
    return describe(reader, reader.cursorOffset, out);
}

bool extract(Reader& reader, std::uint64_t index, Write write, void* opaque) {
    Stat entry;
    if (!stat(reader, index, entry)) return false;
    if ((entry.flags & 0x0001) != 0 || (entry.method != 0 && entry.method != 8)) return false;
    unsigned char local[localLength];
    if (!within(entry.offset, localLength, reader.directory) ||
        !readAt(reader, entry.offset, local, localLength) || u32(local) != localSignature)
        return false;
    std::uint64_t data = entry.offset + localLength + u16(local + 26) + u16(local + 28);
    if (!within(data, entry.packedSize, reader.directory)) return false;
    std::uint32_t crc = 0;
    bool ok = entry.method == 0 ? copyStored(reader, entry, data, write, opaque, crc)
                                : inflateEntry(reader, entry, data, write, opaque, crc);
    return ok && crc == entry.crc;
}

void end(Reader& reader) {
    if (reader.work) {
        if (reader.work->inflating) inflateEnd(&reader.work->inflater);
        delete reader.work;
    }
    reader.file = nullptr;
    reader.work = nullptr;
    reader.size = reader.entries = reader.directory = reader.directoryEnd = 0;
    reader.cursor = reader.cursorOffset = 0;
}

} // namespace zolta_launcher::zip
