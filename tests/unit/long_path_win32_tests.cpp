// Windows only: the extended-length form that the file layer hands to the system.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/files.h"

namespace fs = std::filesystem;
using zolta_launcher::platform::longPath;

TEST(LongPath, MapsEveryFormToTheExtendedOneOnce) {
    struct Case {
        const wchar_t* path;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\Games\\OrbelZolta-Windows", L"\\\\?\\C:\\Games\\OrbelZolta-Windows"},
        // The extended form takes "/", "." and ".." as names, so they are resolved first.
        {L"C:\\Games/./old\\..\\OrbelZolta-Windows", L"\\\\?\\C:\\Games\\OrbelZolta-Windows"},
        {L"\\\\server\\share\\Games", L"\\\\?\\UNC\\server\\share\\Games"},
        {L"//server/share/Games", L"\\\\?\\UNC\\server\\share\\Games"},
        {L"\\\\?\\C:\\Games\\a/b", L"\\\\?\\C:\\Games\\a/b"},
        {L"\\\\?\\UNC\\server\\share\\Games", L"\\\\?\\UNC\\server\\share\\Games"},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
        {L"//?/C:/Games", L"\\\\?\\C:\\Games"},
        // ".." stops at the share, as it does at a drive; no separator is left at the end.
        {L"\\\\server\\share\\..\\Games\\", L"\\\\?\\UNC\\server\\share\\Games"},
        {L"C:\\..\\Games\\", L"\\\\?\\C:\\Games"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"C:\\\\Games\\\\OrbelZolta-Windows", L"\\\\?\\C:\\Games\\OrbelZolta-Windows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fs::path(c.path).string());
        EXPECT_EQ(longPath(c.path).native(), c.expected);
        EXPECT_EQ(longPath(longPath(c.path)).native(), c.expected);
    }
}

TEST(LongPath, MakesARelativePathAbsolute) {
    std::wstring current = fs::current_path().native();
    if (current.back() != L'\\') current += L'\\';
    EXPECT_EQ(longPath(L"Games\\..\\Games/OrbelZolta-Windows").native(),
              L"\\\\?\\" + current + L"Games\\OrbelZolta-Windows");
}

// Folders and files far past MAX_PATH (260), made and removed through the platform layer.
TEST(LongPath, FoldersAndFilesPastMaxPath) {
    const fs::path root = fs::temp_directory_path() / ("long-" + std::to_string(GetTickCount64()));
    fs::path deep = root;
    for (int i = 0; i < 6; ++i) deep /= std::wstring(100, static_cast<wchar_t>(L'a' + i));
    ASSERT_GT(deep.native().size(), 600u);
    zolta_launcher::platform::makeFolders(deep / "one" / "two");
    zolta_launcher::platform::makeFolders(deep / "one"); // an existing folder is accepted
    std::FILE* file = zolta_launcher::platform::openFile(deep / "one" / "file.bin", "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("deep", file);
    std::fclose(file);
    EXPECT_THROW(zolta_launcher::platform::makeFolders(deep / "one" / "file.bin"),
                 fs::filesystem_error);

    std::error_code ec;
    zolta_launcher::platform::removeTree(root, ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(zolta_launcher::platform::entryType(root, ec), fs::file_type::not_found);
}
