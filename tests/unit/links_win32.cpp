#include <windows.h>

#include "links.h"

#include "platform/platform.h"

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

// Runs the host's program with line as its command line; polls for done, as Wine does not wait
// for a Unix process. False when it could not start or done never came.
bool unixRun(const wchar_t* program, const std::string& line, const std::function<bool()>& done) {
    std::wstring command(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Wine's CreateSymbolicLinkW reports success and makes nothing, but Wine shows a Unix link as a
// reparse point: the host's ln makes one.
void unixLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    std::string line = "ln -s \"" + unixName(target) + "\" \"" + unixName(at) + "\"";
    if (!unixRun(L"Z:\\bin\\ln", line,
                 [&] { return GetFileAttributesW(at.c_str()) != INVALID_FILE_ATTRIBUTES; }))
        throw std::runtime_error("no link made");
}

} // namespace

void removeScratch(const std::filesystem::path& folder) {
    std::error_code ignored;
    zolta_launcher::platform::removeTree(folder, ignored);
    // What Wine cannot remove (a Unix link shown as a reparse point) the host's rm can.
    if (!underWine() || GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    try {
        static_cast<void>(unixRun(L"Z:\\bin\\rm", "rm -rf \"" + unixName(folder) + "\"", [&] {
            return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
        }));
    } catch (const std::exception&) {
    }
}

void folderLink(const std::filesystem::path& at, const std::filesystem::path& target) {
    if (underWine()) return unixLink(at, target);
    if (!CreateSymbolicLinkW(at.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY |
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        throw std::runtime_error("cannot make a link at " + at.string());
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
