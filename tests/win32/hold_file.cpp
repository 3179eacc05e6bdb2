// Holds a file below Local AppData open without sharing, as another launcher on the same data
// folder does, for a minute or until it is ended; prints "held" once it holds it.
// Usage: hold_file FOLDER FILE   (FOLDER below Local AppData, made when missing)
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    PWSTR local = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local))) return 1;
    const std::wstring folder = std::wstring(local) + L"\\" + argv[1];
    CoTaskMemFree(local);
    CreateDirectoryW(folder.c_str(), nullptr);
    HANDLE file = CreateFileW((folder + L"\\" + argv[2]).c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot hold the file: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(60000);
    CloseHandle(file);
    return 0;
}
