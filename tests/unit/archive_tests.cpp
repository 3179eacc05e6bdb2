#include <gtest/gtest.h>

#include "errors.h"

#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "launcher_core.h"
#include "zip_writer.h"

using namespace zolta_launcher;
using ziptest::Entry;
namespace fs = std::filesystem;

namespace {

const std::string top = "OrbelZolta-Windows/";

std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Text that compresses well mixed with runs that do not, spanning several reader chunks.
std::string mixed(std::size_t size) {
    std::mt19937 random(7);
    std::string out;
    while (out.size() < size) {
        if (random() % 4 == 0) {
            for (int i = 0; i < 512; ++i) out.push_back(static_cast<char>(random()));
        } else {
            out += "scene " + std::to_string(random() % 1000) + " light probe;\n";
        }
    }
    out.resize(size);
    return out;
}

class Extract : public ::testing::Test {
  protected:
    void SetUp() override {
        dir =
            fs::temp_directory_path() / ("archive-tests-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        dest = dir / fs::path(u8"ausgepackt-\u00df");
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path archive(const std::string& bytes) {
        fs::path file = dir / "release.zip";
        ziptest::save(file, bytes);
        return file;
    }
    fs::path archive(const std::vector<Entry>& entries, bool zip64 = false) {
        return archive(ziptest::zipBytes(entries, zip64));
    }
    std::string failure(const fs::path& file) {
        return errorText([&] { extract(file, dest); });
    }

    fs::path dir, dest;
};

} // namespace

TEST(SafeEntry, AcceptsOnlySafeNamesBelowTheTopFolder) {
    const std::string longest = top + std::string(240 - top.size(), 'x');
    const std::string longestFolder = top + std::string(240 - top.size() - 1, 'x') + "/";
    for (const std::string& name : std::vector<std::string>{
             "OrbelZolta-Windows", top, top + "assets/runtime/scene.bin", top + "assets//",
             top + "COM10", top + "CONFIG", top + "LPT", top + "CON_", top + "a..b",
             top + ".profile", top + "\xC3\xA9t\xC3\xA9.txt", top + "a\x7F", longest,
             longestFolder})
        EXPECT_TRUE(safeEntry(name)) << name;

    for (const std::string& name :
         std::vector<std::string>{std::string(),
                                  std::string("/"),
                                  top + "../escape",
                                  top + "C:/escape",
                                  top + "CON",
                                  "/" + top + "a",
                                  "orbelzolta-windows/a",
                                  "OrbelZolta-Windows\\a",
                                  top + "/a",
                                  top + "a.",
                                  top + "a ",
                                  top + "aux.dll",
                                  top + "a?b",
                                  top + "con",
                                  top + "Con.txt",
                                  top + "nul.tar.gz",
                                  top + "com1",
                                  top + "LPT9.log",
                                  top + "prn",
                                  top + "COM0.x",
                                  top + "...",
                                  top + ".",
                                  top + "..",
                                  top + "a/./b",
                                  top + "assets./x",
                                  top + "a///",
                                  top + "file.txt:stream",
                                  top + "a\x01"
                                        "b",
                                  top + "a\tb",
                                  top + "a\x1F",
                                  std::string("OrbelZolta-Windows/a\0b", 22),
                                  top + "a<b",
                                  top + "a>b",
                                  top + "a\"b",
                                  top + "a|b",
                                  top + "a*b",
                                  "Other/a",
                                  "OrbelZolta-WindowsX/a",
                                  "OrbelZolta-Windows /a",
                                  "..",
                                  longest + "x",
                                  longestFolder + "/",
                                  longest.substr(0, 239) + "x/"})
        EXPECT_FALSE(safeEntry(name)) << name;
}

// Windows ignores blanks at the end of a stem and reads the superscripts 1 to 3 as digits, and
// CONIN$ and CONOUT$ are the console: all of these reach a device, in any letter case.
TEST(SafeEntry, RefusesDeviceNamesInDisguise) {
    struct Case {
        const char* component;
        bool accepted;
    };
    const Case cases[] = {
        {"NUL  .log", false},
        {"COM1 .txt", false},
        {"AUX .h", false},
        {"con .a.b", false},
        {"COM\xC2\xB9", false},
        {"LPT\xC2\xB2.txt", false},
        {"com\xC2\xB3.log", false},
        {"COM\xC2\xB9 .txt", false},
        {"CONIN$", false},
        {"conout$.txt", false},
        {"CONIN$ .log", false},
        {"ConOut$/x", false},
        // Near misses are no devices.
        {"COM10", true},
        {"CONSOLE.txt", true},
        {"NULL.txt", true},
        {"COM", true},
        {"CONIN", true},
        {"CONOUTX", true},
        {"readme .txt", true},
        {"COM\xC2\xB9\xC2\xB9", true},
        {"COM\xC2\xB4", true}, // an acute accent, not a digit
        {"LPT\xC2\xB0", true}, // a degree sign
    };
    for (const auto& c : cases) EXPECT_EQ(safeEntry(top + c.component), c.accepted) << c.component;
}

TEST(Sha256, MatchesKnownDigests) {
    fs::path dir =
        fs::temp_directory_path() / ("sha256-tests-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    auto pattern = [](std::size_t size) {
        std::string out(size, '\0');
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + 3) % 251);
        return out;
    };
    struct Case {
        std::string content, digest;
    };
    for (const Case& c : std::vector<Case>{
             {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
             {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
             {pattern(65536), "93d1a595bb5828c088e99c53df8dca5511567b7724bc2325cf3e54d725fa069b"},
             {pattern(131072), "15cfa58b3956aa3c0b306a3e8b4c7ce4fd15d7ee2567628bba5dda60f5264cbb"},
         }) {
        fs::path file = dir / fs::path(u8"pr\u00fcfung.bin");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.content;
        EXPECT_EQ(sha256(file), c.digest) << c.content.size() << " bytes";
    }
    EXPECT_EQ(errorText([&] { sha256(dir / "missing.zip"); }), "Cannot read downloaded archive");
    // A folder is never hashed as if it were an empty file.
    std::string folder = errorText([&] { sha256(dir); });
    EXPECT_TRUE(folder == "Cannot read downloaded archive" ||
                folder == "Cannot read complete archive")
        << folder;
    fs::remove_all(dir);
}

TEST_F(Extract, UnpacksTheReleaseLayout) {
    const std::string scene = mixed(1 << 20);
    for (bool zip64 : {false, true}) {
        fs::remove_all(dest);
        extract(archive(
                    {
                        {.name = top, .method = 0, .attributes = 0x41ED0010},
                        {.name = top + "OrbelZolta.exe",
                         .data = "MZ game",
                         .method = 0,
                         .attributes = 0x81ED0000},
                        {.name = top + "assets/runtime/scene.bin", .data = scene},
                        {.name = top + "assets/scene.json",
                         .data = "{}",
                         .attributes = 0x20,
                         .madeBy = 20},
                        {.name = top + "\xC3\xA9t\xC3\xA9.txt", .data = "summer"},
                        {.name = top + "empty.txt"},
                        // Some archivers store an empty file as deflate without any bytes.
                        {.name = top + "bare.txt", .packed = ""},
                        {.name = top + "data", .method = 0, .attributes = 0x10, .madeBy = 20},
                        {.name = top + "twice.txt", .data = "first"},
                        {.name = top + "twice.txt", .data = "second", .method = 0},
                    },
                    zip64),
                dest);
        fs::path game = dest / "OrbelZolta-Windows";
        EXPECT_EQ(read(game / "OrbelZolta.exe"), "MZ game");
        EXPECT_EQ(read(game / "assets" / "runtime" / "scene.bin"), scene);
        EXPECT_EQ(read(game / "assets" / "scene.json"), "{}");
        EXPECT_EQ(read(game / fs::path(u8"\u00e9t\u00e9.txt")), "summer");
        EXPECT_TRUE(fs::is_regular_file(game / "empty.txt"));
        EXPECT_EQ(fs::file_size(game / "empty.txt"), 0u);
        EXPECT_TRUE(fs::is_regular_file(game / "bare.txt"));
        EXPECT_EQ(fs::file_size(game / "bare.txt"), 0u);
        EXPECT_TRUE(fs::is_directory(game / "data"));
        EXPECT_EQ(read(game / "twice.txt"), "second");
    }
    fs::remove_all(dest);
    extract(archive(std::vector<Entry>{}), dest);
    EXPECT_FALSE(fs::exists(dest));
}

// Each case follows one good file; the case's entry fails with the first rule it breaks, and
// nothing of it lands on disk.
TEST_F(Extract, RefusesEntriesInRuleOrderBeforeWritingThem) {
    const std::uint32_t link = 0xA1FF0000;
    struct Case {
        Entry entry;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{.name = top + "../escape", .data = "x"}, "Archive contains an unsafe path"},
             {{.name = top + "CON.txt", .data = "x"}, "Archive contains an unsafe path"},
             {{.name = top + "link", .data = "target", .attributes = link},
              "Symbolic links are not allowed in game archives"},
             {{.name = top + "link", .method = 0, .attributes = link},
              "Symbolic links are not allowed in game archives"},
             {{.name = top + "../link", .attributes = link}, "Archive contains an unsafe path"},
             {{.name = top + "link", .attributes = link, .size = 1ull << 40},
              "Symbolic links are not allowed in game archives"},
             {{.name = top + "\xFF.txt", .size = 1ull << 40},
              "Archive exceeds the installation size limit"},
             {{.name = top + "huge/", .method = 0, .size = ~0ull},
              "Archive exceeds the installation size limit"},
             {{.name = top + "\xFF.txt", .data = "x"}, "Invalid UTF-8 path"},
             {{.name = top + "\xC3.txt", .data = "x"}, "Invalid UTF-8 path"},
         }) {
        fs::remove_all(dest);
        EXPECT_EQ(failure(archive({{.name = top + "first.txt", .data = "1"}, c.entry})), c.message)
            << c.entry.name;
        EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "first.txt"), "1");
        std::size_t count = 0;
        for (auto it = fs::recursive_directory_iterator(dest);
             it != fs::recursive_directory_iterator(); ++it)
            ++count;
        EXPECT_EQ(count, 2u) << c.entry.name; // the top folder and first.txt
    }
}

TEST_F(Extract, SizeLimitCountsEveryDeclaredByte) {
    std::vector<Entry> entries = {
        {.name = top + "first.txt", .data = "12345"},
        {.name = top + "big/", .method = 0, .size = (1ull << 31) - 5},
    };
    extract(archive(entries), dest);
    EXPECT_TRUE(fs::is_directory(dest / "OrbelZolta-Windows" / "big"));

    fs::remove_all(dest);
    entries.push_back({.name = top + "last.txt", .data = "x"});
    EXPECT_EQ(failure(archive(entries)), "Archive exceeds the installation size limit");
    EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "first.txt"), "12345");
    EXPECT_FALSE(fs::exists(dest / "OrbelZolta-Windows" / "last.txt"));
}

TEST_F(Extract, EntryCountLimit) {
    std::vector<Entry> entries(9999, Entry{.name = top, .method = 0});
    entries.push_back({.name = top + "last.txt", .data = "x"});
    extract(archive(entries), dest);
    EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "last.txt"), "x");

    fs::remove_all(dest);
    entries.push_back({.name = top, .method = 0});
    EXPECT_EQ(failure(archive(entries)), "Archive has too many entries");
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(Extract, CorruptEntryFailsAndKeepsWhatWasWritten) {
    const std::string data = mixed(300000);
    const std::string name = top + "scene.bin";
    // The offset of the entry's data: its name first appears in its local header.
    auto dataAt = [&](const std::string& bytes) { return bytes.find(name) + name.size(); };
    struct Case {
        const char* what;
        Entry entry;
        std::function<void(std::string&)> damage;
        std::optional<std::size_t> left; // bytes of the file left on disk, when known
    };
    for (const Case& c : std::vector<Case>{
             {"CRC of deflate data", {.name = name, .data = data, .crc = 1}, {}, data.size()},
             {"CRC of stored data",
              {.name = name, .data = data, .method = 0, .crc = 1},
              {},
              data.size()},
             {"garbled deflate data",
              {.name = name, .data = data},
              [&](std::string& b) { b.replace(dataAt(b) + 100, 64, std::string(64, '\xFF')); },
              {}},
             {"unsupported method", {.name = name, .data = data, .method = 12}, {}, 0},
             {"more data than declared", {.name = name, .data = data, .size = 1000}, {}, 0},
             {"less data than declared",
              {.name = name, .data = data, .size = data.size() + 1},
              {},
              data.size()},
             {"stored sizes that differ",
              {.name = name, .data = data, .method = 0, .size = 10},
              {},
              0},
             {"deflate data missing", {.name = name, .data = data, .packed = ""}, {}, 0},
             {"bad local header",
              {.name = name, .data = data},
              [&](std::string& b) { b[dataAt(b) - name.size() - 30] = 'X'; },
              0},
             {"data past the directory",
              {.name = name, .data = data},
              [&](std::string& b) { b[dataAt(b) - name.size() - 2] = '\x7F'; },
              0},
         }) {
        fs::remove_all(dest);
        std::string bytes = ziptest::zipBytes({{.name = top + "first.txt", .data = "1"}, c.entry});
        if (c.damage) c.damage(bytes);
        EXPECT_EQ(failure(archive(bytes)), "Game archive is corrupt or disk is full") << c.what;
        EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "first.txt"), "1") << c.what;
        fs::path file = dest / "OrbelZolta-Windows" / "scene.bin";
        ASSERT_TRUE(fs::exists(file)) << c.what;
        if (c.left) {
            EXPECT_EQ(fs::file_size(file), *c.left) << c.what;
        }
        EXPECT_LE(fs::file_size(file), data.size()) << c.what;
    }
}

TEST_F(Extract, RefusesWhatIsNoZipArchive) {
    const std::string good = ziptest::zipBytes(
        {{.name = top + "a.txt", .data = "a"}, {.name = top + "b.txt", .data = "b"}});
    const std::size_t end = good.size() - 22;
    auto patched = [&](std::size_t at, const std::string& with) {
        std::string b = good;
        b.replace(at, with.size(), with);
        return b;
    };
    for (const std::string& bytes : std::vector<std::string>{
             std::string(), std::string("PK\x05\x06", 4), std::string("not a zip archive\n"),
             good.substr(0, good.size() - 1), good.substr(0, end + 10),
             good.substr(0, good.size() / 2) + good.substr(end),
             patched(end + 8, std::string("\x03\x00\x03\x00", 4)),  // one entry too many
             patched(end + 16, std::string("\xFF\xFF\xFF\x0F", 4)), // directory past the end
             patched(end + 4, std::string("\x01\x00", 2)),          // another disk
             patched(good.find("PK\x01\x02"), "PK\x09\x09"),        // no central header
         })
        EXPECT_EQ(failure(archive(bytes)), "Invalid ZIP archive") << bytes.size() << " bytes";
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_EQ(failure(dir / "missing.zip"), "Cannot open archive");
    EXPECT_FALSE(fs::exists(dest));

    // A size that claims to be in a ZIP64 field the entry does not have.
    std::size_t second = good.find("PK\x01\x02", good.find("PK\x01\x02") + 1);
    EXPECT_EQ(failure(archive(patched(second + 24, "\xFF\xFF\xFF\xFF"))),
              "Cannot inspect ZIP entry");
    EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "a.txt"), "a");
}

// A file where a folder is needed, or a folder where a file is, fails with the launcher's own
// sentence, never the file-system library's text with its path.
TEST_F(Extract, FolderAndFileClashes) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
    };
    for (const Case& c : std::vector<Case>{
             {"a file, then a file below it",
              {{.name = top + "a", .data = "x"}, {.name = top + "a/b", .data = "y"}}},
             {"a file, then a folder below it",
              {{.name = top + "a", .data = "x"}, {.name = top + "a/b/", .method = 0}}},
             {"a file, then a folder of its name",
              {{.name = top + "a", .data = "x"}, {.name = top + "a/", .method = 0}}},
             {"a folder, then a file of its name",
              {{.name = top + "a/", .method = 0}, {.name = top + "a", .data = "x"}}},
         }) {
        fs::remove_all(dest);
        EXPECT_EQ(failure(archive(c.entries)), "Cannot create game file") << c.what;
    }
    fs::remove_all(dest);
    ziptest::save(dest, "a file in place of the destination folder");
    EXPECT_EQ(failure(archive({{.name = top + "a", .data = "x"}})), "Cannot create game file");
    fs::remove(dest);
}

// Windows takes names that differ only in letter case for one file, in every script it knows:
// such an archive would unpack differently there, so it is refused before anything is written.
TEST_F(Extract, RefusesNamesThatWindowsTakesForOne) {
    const std::string clash = "Archive contains names that differ only in letter case";
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        bool refused;
    };
    auto files = [](const std::string& a, const std::string& b) {
        return std::vector<Entry>{{.name = top + a, .data = "1"}, {.name = top + b, .data = "2"}};
    };
    for (const Case& c : std::vector<Case>{
             {"ASCII", files("Readme.txt", "README.TXT"), true},
             {"Cyrillic",
              files("\u041f\u0420\u0418\u0412\u0415\u0422", "\u043f\u0440\u0438\u0432\u0435\u0442"),
              true},
             {"Latin-1", files("caf\u00e9", "CAF\u00c9"), true},
             {"Latin Extended-A", files("\u0142\u00f3d\u017a", "\u0141\u00d3D\u0179"), true},
             {"Latin Extended-B", files("\u01c6", "\u01c4"), true},
             {"Greek", files("\u03c3\u03bf\u03c6\u03af\u03b1", "\u03a3\u039f\u03a6\u038a\u0391"),
              true},
             {"Greek final sigma", files("\u03c2", "\u03c3"), true},
             {"Greek with a subscript iota", files("\u1f80\u1fb3", "\u1f88\u1fbc"), true},
             {"Armenian", files("\u0562\u0561\u0580\u0565\u0582", "\u0532\u0531\u0550\u0535\u0552"),
              true},
             {"Latin Extended Additional", files("\u1ea1", "\u1ea0"), true},
             {"full-width", files("\uff41\uff42", "\uff21\uff22"), true},
             {"folders of one file", files("A/x", "a/x"), true},
             {"folders of two files", files("Data/x", "data/y"), true},
             {"a file beside a folder",
              {{.name = top + "a", .data = "1"}, {.name = top + "A/", .method = 0}},
              true},
             {"two folder entries",
              {{.name = top + "Data/", .method = 0}, {.name = top + "data/", .method = 0}},
              true},
             {"the top folder",
              {{.name = top + "x", .data = "1"}, {.name = "ORBELZOLTA-WINDOWS/"}},
              false}, // refused as unsafe, after x
             // Distinct on Windows too: no full or special mappings, no accents dropped.
             {"sharp s", files("\u00df", "ss"), false},
             {"accent", files("a", "\u00e1"), false},
             {"dotted capital I", files("i", "\u0130"), false},
             {"Kelvin sign", files("k", "\u212a"), false},
             {"one name twice", files("twice.txt", "twice.txt"), false},
         }) {
        fs::remove_all(dest);
        const std::string error = failure(archive(c.entries));
        if (c.refused) {
            EXPECT_EQ(error, clash) << c.what;
            EXPECT_FALSE(fs::exists(dest)) << c.what;
        } else {
            EXPECT_NE(error, clash) << c.what;
        }
    }
}

// On NTFS with short names on, a name of the 8.3 form with a "~" may be another file's short
// alias and write into that file, where Linux keeps two: refused on both builds, before anything
// is written.
TEST_F(Extract, RefusesNamesThatMayBeAnotherFilesShortName) {
    const std::string alias = "Archive contains a name that Windows may take for another file";
    struct Case {
        std::string name;
        bool refused;
    };
    for (const Case& c : std::vector<Case>{
             {"ORBE~B0S.EXE", true},
             {"assets/runtime/SCEN~RFH.JSO", true},
             {"ORBELZ~1.EXE", true},
             {"ASSETS~1/runtime/x", true}, // a folder's alias
             {"scene~1.jso", true},
             {"A~", true},
             {"~.txt", true},
             {"readme.t~", true},
             {"\u00c4BC~1.TXT", true}, // counted in characters, not bytes
             // No short name has these forms.
             {"ORBELZOL~1.EXE", false}, // nine before the dot
             {"SCENE~1.JSON", false},   // four after it
             {"A~B.C.D", false},        // two dots
             {"OrbelZolta~backup.exe", false},
             {"SCENE1.JSO", false},
         }) {
        fs::remove_all(dest);
        const std::vector<Entry> entries{{.name = top + "OrbelZolta.exe", .data = "1"},
                                         {.name = top + "assets/runtime/scene.json", .data = "2"},
                                         {.name = top + c.name, .data = "3"}};
        const std::string error = failure(archive(entries));
        if (c.refused) {
            EXPECT_EQ(error, alias) << c.name;
            EXPECT_FALSE(fs::exists(dest)) << c.name;
        } else {
            EXPECT_EQ(error, "(no error)") << c.name;
            EXPECT_EQ(read(dest / "OrbelZolta-Windows" / "OrbelZolta.exe"), "1") << c.name;
        }
    }
}

// The folders a name implies cost nothing to declare: a 240-byte name makes about a hundred.
// They are limited like the entries, from the central directory, before anything is written.
TEST_F(Extract, FolderCountLimit) {
    // The top folder, then per entry a folder of its own with 19 more below it (paths short
    // enough for Windows).
    std::vector<Entry> entries;
    std::string deep;
    for (int i = 0; i < 19; ++i) deep += "x/";
    for (int i = 0; i < 500; ++i) {
        std::string own = std::to_string(1000 + i) + "/";
        entries.push_back({.name = top + own + (i < 499 ? deep : deep.substr(2)) + "f"});
    }
    entries.push_back({.name = top + "1000/x/", .method = 0}); // no new folder
    entries.push_back({.name = top + "1000/f", .data = "file"});
    extract(archive(entries), dest);
    std::size_t folders = 0;
    for (auto it = fs::recursive_directory_iterator(dest); it != fs::recursive_directory_iterator();
         ++it)
        folders += it->is_directory() ? 1 : 0;
    EXPECT_EQ(folders, 10000u);

    fs::remove_all(dest);
    entries.push_back({.name = top + "one-more/", .method = 0});
    EXPECT_EQ(failure(archive(entries)), "Archive has too many folders");
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(Extract, WriteFailuresAreReported) {
    std::ofstream closed;
    EXPECT_EQ(writeChunk(&closed, 0, "abc", 3), 0u);
    std::ofstream open(dir / "chunk.bin", std::ios::binary);
    EXPECT_EQ(writeChunk(&open, 0, "abc", 3), 3u);

    // A full disk that shows only when the last buffered bytes are flushed at close.
    fs::path game = dest / "OrbelZolta-Windows";
    fs::create_directories(game);
    std::error_code error;
    fs::create_symlink("/dev/full", game / "small.txt", error);
    std::ofstream probe(game / "small.txt", std::ios::binary);
    probe << "x";
    probe.close();
    if (error || !probe.fail()) GTEST_SKIP() << "no full device here";
    EXPECT_EQ(failure(archive({{.name = top + "small.txt", .data = "tiny"}})),
              "Game archive is corrupt or disk is full");
}
