#include "platform/process.h"
#include "launcher_core.h"
#include "platform/files.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

namespace zolta_launcher {

namespace {

constexpr DWORD imageLimit = 32768;

// Closes a handle on every way out of a scope.
struct Handle {
    HANDLE value;
    ~Handle() { CloseHandle(value); }
};

std::wstring normal(const std::filesystem::path& path) {
    return path.lexically_normal().wstring();
}

// A file as NTFS knows it, whatever path reached it: a drive letter of subst, a linked folder or
// a second hard link of the same name (only processes named OrbelZolta.exe are compared).
struct FileId {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
    bool operator==(const FileId&) const = default;
};

// Opened only to read its attributes and shared in every way, as a running image allows; false
// when it cannot be opened.
bool fileId(const std::filesystem::path& path, FileId& id) {
    HANDLE opened = CreateFileW(platform::longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return false;
    Handle file{opened};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.value, &info)) return false;
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// exe as its path reads and as the file it is, when it can be opened.
struct Wanted {
    std::wstring text;
    bool known = false;
    FileId id;
};

// Whether process id runs exe; a process that cannot be opened or queried counts as running it.
// The image is compared by its path text, then by the file it is.
bool runs(DWORD id, const Wanted& exe) {
    HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!opened) return true;
    Handle process{opened};
    std::vector<wchar_t> image(imageLimit);
    DWORD size = imageLimit;
    if (!QueryFullProcessImageNameW(process.value, 0, image.data(), &size)) return true;
    if (_wcsicmp(normal(image.data()).c_str(), exe.text.c_str()) == 0) return true;
    FileId running;
    return exe.known && fileId(image.data(), running) && running == exe.id;
}

} // namespace

bool gameRunning(const std::filesystem::path& exe) {
    HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    require(taken != INVALID_HANDLE_VALUE, "Cannot check running games");
    Handle snapshot{taken};
    std::error_code error;
    auto full = std::filesystem::absolute(exe, error); // a relative exe could never match
    Wanted wanted;
    wanted.text = normal(error ? exe : full);
    wanted.known = fileId(exe, wanted.id);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.value, &entry); more;
         more = Process32NextW(snapshot.value, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"OrbelZolta.exe") == 0 && runs(entry.th32ProcessID, wanted))
            return true;
    }
    return false;
}

ProcessInfo launch(const std::filesystem::path& exe, const std::u16string& arguments) {
    require(validGame(exe), "Choose OrbelZolta.exe with its complete assets folder.");
    std::wstring line =
        L"\"" + exe.wstring() + L"\" " + std::wstring(arguments.begin(), arguments.end());
    std::wstring folder = exe.parent_path().wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // A bare file name has no parent: it starts in the launcher's folder, where it was found.
    BOOL ok = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &started);
    require(ok, "Windows could not start Zolta.");
    return {reinterpret_cast<std::intptr_t>(started.hProcess),
            reinterpret_cast<std::intptr_t>(started.hThread), started.dwProcessId,
            started.dwThreadId};
}

std::uint32_t waitProcess(const ProcessInfo& process, std::uint32_t ms) {
    auto handle = reinterpret_cast<HANDLE>(process.process);
    WaitForSingleObject(handle, ms);
    DWORD code = STILL_ACTIVE; // 259: still running, or no exit code to be had
    GetExitCodeProcess(handle, &code);
    return code;
}

void closeProcess(ProcessInfo& process) {
    if (process.thread) CloseHandle(reinterpret_cast<HANDLE>(process.thread));
    if (process.process) CloseHandle(reinterpret_cast<HANDLE>(process.process));
    process.thread = 0;
    process.process = 0;
}

} // namespace zolta_launcher

namespace zolta_launcher::platform {

std::uint64_t milliseconds() {
    return GetTickCount64();
}

std::uint32_t processId() {
    return GetCurrentProcessId();
}

} // namespace zolta_launcher::platform
