#include <windows.h>

#include "links.h"

#include "platform/files.h"

#include <chrono>
#include <fstream>
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

bool waitFor(const std::filesystem::path& file) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Windows programs have no exchange: a host process does it, until stop appears.
void hostSwapper(const std::filesystem::path& a, const std::filesystem::path& b,
                 const std::filesystem::path& signals) {
    const std::string script = "import ctypes, os, sys\n"
                               "libc = ctypes.CDLL(None)\n"
                               "a, b, stop, started, stopped = (os.fsencode(x) for x in "
                               "sys.argv[1:])\n"
                               "open(started, 'w').close()\n"
                               "while not os.path.exists(stop):\n"
                               "    for _ in range(100): libc.renameat2(-100, a, -100, b, 2)\n"
                               "open(stopped, 'w').close()\n";
    std::ofstream(signals / "swap.py", std::ios::binary) << script;
    std::string line = "python3 \"" + unixName(signals / "swap.py") + "\"";
    for (const std::filesystem::path& p :
         {a, b, signals / "stop", signals / "started", signals / "stopped"})
        line += " \"" + unixName(p) + "\"";
    std::wstring command(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\usr\\bin\\python3", command.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start the swapper");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

bool seen(const std::filesystem::path& at) {
    return GetFileAttributesW(at.c_str()) != INVALID_FILE_ATTRIBUTES;
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

// Wine removes what a link leads to, never the link: the host's rm removes it.
void removeLink(const std::filesystem::path& at) {
    if (!underWine()) {
        RemoveDirectoryW(at.c_str());
        return;
    }
    if (!unixRun(L"Z:\\bin\\rm", "rm -f \"" + unixName(at) + "\"", [&] { return !seen(at); }))
        throw std::runtime_error("cannot remove the link at " + at.string());
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

void whileSwapping(const std::filesystem::path& a, const std::filesystem::path& b,
                   const std::filesystem::path& signals, const std::function<void()>& body) {
    std::filesystem::create_directories(signals);
    const std::filesystem::path stop = signals / "stop";
    std::thread rotate;
    if (underWine()) {
        hostSwapper(a, b, signals);
    } else {
        // Windows renames a link as itself: three renames swap the two.
        std::ofstream(signals / "started").close();
        rotate = std::thread([=] {
            const std::filesystem::path aside = signals / "aside";
            while (!std::filesystem::exists(stop)) {
                MoveFileExW(a.c_str(), aside.c_str(), 0);
                MoveFileExW(b.c_str(), a.c_str(), 0);
                MoveFileExW(aside.c_str(), b.c_str(), 0);
            }
            std::ofstream(signals / "stopped").close();
        });
    }
    if (!waitFor(signals / "started")) throw std::runtime_error("the swapper did not start");
    body();
    std::ofstream(stop).close();
    if (rotate.joinable()) rotate.join();
    if (!waitFor(signals / "stopped")) throw std::runtime_error("the swapper did not stop");
}

std::error_code heldError() {
    return {ERROR_SHARING_VIOLATION, std::system_category()};
}
