#include "launcher_core.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/files.h"
#include "platform/hash.h"
#include "platform/text.h"
#include "zip/zip.h"

namespace zolta_launcher {

namespace {

constexpr std::uint64_t maxEntries = 10000;
constexpr std::size_t maxFolders = 10000;      // distinct, the folders that names imply included
constexpr std::uint64_t maxTotal = 2147483648; // declared bytes of all entries together
constexpr std::size_t maxName = 240;
constexpr std::string_view topFolder = "OrbelZolta-Windows";

// Windows reads the superscripts 1, 2 and 3 (UTF-8 C2 B9, C2 B2, C2 B3) as digits in device
// names.
bool deviceDigit(std::string_view text) {
    if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
    return text == "\xC2\xB9" || text == "\xC2\xB2" || text == "\xC2\xB3";
}

// The stem before the first ".", upper-cased byte by byte, is a Windows device name. Windows
// ignores blanks at the end of a stem, so they are dropped before the comparison.
bool reserved(std::string_view component) {
    std::string stem(component.substr(0, component.find('.')));
    stem.erase(stem.find_last_not_of(' ') + 1);
    for (char& c : stem)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$")
        return true;
    std::string_view name = stem;
    return (name.starts_with("COM") || name.starts_with("LPT")) && deviceDigit(name.substr(3));
}

bool safeComponent(std::string_view component) {
    if (component.empty() || component == "." || component == "..") return false;
    if (component.back() == '.' || component.back() == ' ') return false;
    for (char c : component)
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("<>\"|?*").find(c) != std::string_view::npos)
            return false;
    return !reserved(component);
}

// Whether component has the 8.3 form (1 to 8 characters, then optionally one dot and at most 3)
// and holds a "~": on NTFS with short names on, it may be another file's short alias and open
// that file ("ORBELZ~1.EXE" for "OrbelZolta.exe"), where Linux makes a file of its own.
bool shortAlias(std::u16string_view component) {
    if (component.find(u'~') == std::u16string_view::npos) return false;
    const auto dot = component.find(u'.');
    const auto base = component.substr(0, dot);
    if (base.empty() || base.size() > 8) return false;
    if (dot == std::u16string_view::npos) return true;
    const auto extension = component.substr(dot + 1);
    return extension.size() <= 3 && extension.find(u'.') == std::u16string_view::npos;
}

// Judges the tree the archive makes before anything of it is written. A name implies a folder
// per "/" at no cost in entries or bytes, so folders are counted too. Windows takes names that
// differ only in letter case for one, Linux for two: such an archive would install different
// games, so it is refused. From the first entry that extraction refuses on its own, nothing
// is written, so the judging stops there.
void judgeTree(zip::Reader& reader) {
    std::unordered_map<std::u16string, std::u16string> seen; // by upcase, the name as stored
    std::size_t folders = 0;
    // Records path; true when it was there already, and so were the folders above it.
    auto known = [&](const std::u16string& path, bool folder) {
        const auto [at, added] = seen.try_emplace(upcase(path), path);
        require(at->second == path, "Archive contains names that differ only in letter case");
        if (added && folder) require(++folders <= maxFolders, "Archive has too many folders");
        return !added;
    };
    for (std::uint64_t index = 0; index < zip::count(reader); ++index) {
        zip::Stat entry;
        std::u16string path;
        if (!zip::stat(reader, index, entry) || !safeEntry(entry.name) ||
            !platform::utf16(entry.name, path))
            return;
        while (path.back() == u'/') path.pop_back(); // a safe name is more than slashes
        for (std::size_t start = 0, end = 0; end != std::u16string::npos; start = end + 1) {
            end = path.find(u'/', start);
            require(!shortAlias(std::u16string_view(path).substr(start, end - start)),
                    "Archive contains a name that Windows may take for another file");
        }
        if (known(path, entry.directory)) continue;
        // From the deepest folder up to the first one already known.
        for (auto end = path.rfind(u'/'); end != std::u16string::npos && end > 0;
             end = path.rfind(u'/', end - 1))
            if (known(path.substr(0, end), true)) break;
    }
}

// Creates folder and its parents; a failure is the launcher's sentence, not the library's text
// with its path.
void makeFolders(const std::filesystem::path& folder) {
    try {
        platform::makeFolders(folder);
    } catch (const std::filesystem::filesystem_error& e) {
        require(e.code() != std::errc::no_space_on_device,
                "Game archive is corrupt or disk is full");
        throw std::runtime_error("Cannot create game file");
    }
}

// Owns the open archive: the reader is ended before its stream is closed, on every path.
struct Archive {
    std::FILE* file;
    zip::Reader reader;
    ~Archive() {
        zip::end(reader);
        std::fclose(file);
    }
};

} // namespace

std::string sha256(const std::filesystem::path& file) {
    platform::DigestHandle digest = platform::digestOpen();
    require(digest != nullptr, "SHA-256 unavailable");
    require(platform::digestBegin(*digest), "Cannot initialize SHA-256");

    std::ifstream in(file, std::ios::binary);
    require(!in.fail(), "Cannot read downloaded archive");
    std::vector<char> buffer(65536);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto count = static_cast<std::size_t>(in.gcount());
        require(platform::digestUpdate(*digest, buffer.data(), count), "SHA-256 failed");
    }
    require(in.eof() && !in.bad(), "Cannot read complete archive");

    std::array<unsigned char, 32> bytes{};
    require(platform::digestEnd(*digest, bytes), "SHA-256 failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool safeEntry(std::string name) {
    if (name.empty() || name.size() > maxName) return false;
    if (name.find_first_of("\\:") != std::string::npos || name.front() == '/') return false;
    if (name.back() == '/') name.pop_back();
    std::string_view rest = name;
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        std::string_view component = rest.substr(start, end - start);
        if (!safeComponent(component) || (start == 0 && component != topFolder)) return false;
        start = end + 1;
    }
    return true;
}

std::uint64_t writeChunk(void* stream, std::uint64_t, const void* data, std::uint64_t count) {
    auto& out = *static_cast<std::ofstream*>(stream);
    if (count > static_cast<std::uint64_t>(std::numeric_limits<std::streamsize>::max())) return 0;
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(count));
    return out ? count : 0;
}

void extract(const std::filesystem::path& archive, const std::filesystem::path& destination) {
    std::FILE* file = platform::openFile(archive, "rb");
    require(file != nullptr, "Cannot open archive");
    Archive open{file, {}};
    require(zip::init(open.reader, file), "Invalid ZIP archive");
    require(zip::count(open.reader) <= maxEntries, "Archive has too many entries");
    judgeTree(open.reader);

    std::uint64_t total = 0;
    for (std::uint64_t index = 0; index < zip::count(open.reader); ++index) {
        zip::Stat entry;
        require(zip::stat(open.reader, index, entry), "Cannot inspect ZIP entry");
        require(safeEntry(entry.name), "Archive contains an unsafe path");
        require((entry.attributes & 0xF0000000u) != 0xA0000000u,
                "Symbolic links are not allowed in game archives");
        // total never exceeds the limit, so this comparison cannot wrap.
        require(entry.size <= maxTotal - total, "Archive exceeds the installation size limit");
        total += entry.size;
        // Below the staging folder an entry's path may pass Windows' MAX_PATH.
        std::filesystem::path target =
            platform::longPath(destination / std::filesystem::path(wide(entry.name)));
        if (entry.directory) {
            makeFolders(target);
            continue;
        }
        makeFolders(target.parent_path());
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        require(!out.fail(), "Cannot create game file");
        require(zip::extract(open.reader, index, writeChunk, &out),
                "Game archive is corrupt or disk is full");
        // The last buffered bytes reach the disk only here; a full disk must not pass silently.
        out.close();
        require(!out.fail(), "Game archive is corrupt or disk is full");
    }
}

} // namespace zolta_launcher
