// The shell's platform seam on Windows.
#include <windows.h>

#include <commdlg.h>
#include <shellapi.h>

#include <vector>

#include "host/host.h"
#include "win32.h"

namespace launcher::host {

bool postPayload(nlohmann::json* payload) {
    return PostMessageW(windowHandle, WM_WORKER_PAYLOAD, 0, reinterpret_cast<LPARAM>(payload)) != 0;
}

bool hasPage() {
    return web != nullptr;
}

void postToPage(const std::u16string& json) {
    if (web != nullptr) web->PostWebMessageAsJson(reinterpret_cast<const wchar_t*>(json.c_str()));
}

std::filesystem::path pickGame() {
    static_assert(sizeof(OPENFILENAMEW) == 152);
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = windowHandle;
    request.lpstrFilter = L"Orbel Zolta (OrbelZolta.exe)\0OrbelZolta.exe\0";
    request.lpstrFile = file.data();
    request.nMaxFile = static_cast<DWORD>(file.size());
    request.lpstrTitle = L"Choose OrbelZolta.exe";
    request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (GetOpenFileNameW(&request) == 0) return {};
    return std::filesystem::path(file.data());
}

void open(const std::u16string& target) {
    ShellExecuteW(windowHandle, L"open", reinterpret_cast<const wchar_t*>(target.c_str()), nullptr,
                  nullptr, SW_SHOWNORMAL);
}

bool lockFolder(const std::filesystem::path& folder) {
    // Shared with nobody: while this handle is open every other open of the file fails with a
    // sharing violation. Not inheritable, so the game does not keep it; it is never closed.
    const std::filesystem::path file = folder / lockFile;
    HANDLE lock = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return lock != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION;
}

void endProcess(int code) {
    // Not ExitProcess: the library detach it runs could wait for a lock that a thread it has
    // just ended held.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    for (;;) {
    }
}

LocalTime localTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wHour, now.wMinute};
}

} // namespace launcher::host

namespace launcher {

bool firstInSession(HANDLE mutex, DWORD error) {
    return mutex != nullptr && error != ERROR_ALREADY_EXISTS;
}

} // namespace launcher
