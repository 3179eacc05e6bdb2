#include <windows.h>

#include "links.h"

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

template <typename Function> Function* wineExport(const wchar_t* module, const char* name) {
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

bool underWine() {
    return wineExport<const char*()>(L"ntdll.dll", "wine_get_version") != nullptr;
}

std::string unixName(const std::filesystem::path& path) {
    auto convert = wineExport<char*(const wchar_t*)>(L"kernel32.dll", "wine_get_unix_file_name");
    char* name = convert ? convert(path.c_str()) : nullptr;
    if (!name) throw std::runtime_error("no Unix name for " + path.string());
    std::string text = name;
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Runs a host program (Wine's drive Z: is the host's root) and waits until done holds: Wine does
// not wait for a Unix process, so poll.
void host(const wchar_t* program, const std::string& line, const std::function<bool()>& done) {
    std::wstring command(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw std::runtime_error("cannot start " + line);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("no end: " + line);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool seen(const std::filesystem::path& at) {
    return GetFileAttributesW(at.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Wine's CreateSymbolicLinkW reports success and makes nothing, but Wine shows a Unix link as a
// reparse point: the host's ln makes one.
void unixLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    host(L"Z:\\bin\\ln", "ln -s \"" + unixName(target) + "\" \"" + unixName(at) + "\"",
         [&] { return seen(at); });
}

} // namespace

void folderLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    if (underWine()) return unixLink(at, target);
    if (!CreateSymbolicLinkW(at.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY |
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        throw std::runtime_error("cannot make a link at " + at.string());
}

// Wine removes what a link leads to, never the link: the host's rm removes it.
void removeLink(const std::filesystem::path& at) {
    if (!underWine()) {
        RemoveDirectoryW(at.c_str());
        return;
    }
    const std::string name = unixName(at);
    host(L"Z:\\bin\\rm", "rm -f \"" + name + "\"", [&] { return !seen(at); });
}

bool folderLinksRemovable() {
    return !underWine();
}

bool whileLocked(const std::filesystem::path& folder, const std::function<void()>& body) {
    HANDLE held = CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) return false;
    body();
    CloseHandle(held);
    return true;
}
