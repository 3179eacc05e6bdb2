// The launcher's entry point: start-up, the message loop and shutdown.
#include <windows.h>

#include <dwmapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "host/host.h"
#include "launcher_core.h"
#include "shell.h"
#include "win32.h"

namespace {

using namespace launcher;

constexpr wchar_t windowClass[] = L"OrbelLauncher";
constexpr DWORD darkTitleBar = 20; // DWMWA_USE_IMMERSIVE_DARK_MODE; missing from older headers

std::filesystem::path exeFolder() {
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    zolta_launcher::require(length > 0 && length < buffer.size(),
                            "Cannot find the launcher's own folder");
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

void findDataFolder() {
    PWSTR text = nullptr;
    HRESULT found = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &text);
    std::filesystem::path local = SUCCEEDED(found) && text != nullptr ? text : L"";
    CoTaskMemFree(text);
    zolta_launcher::require(SUCCEEDED(found) && !local.empty(), "Cannot find Local AppData");
    support = local / L"Orbel Launcher";
    managed = support / L"Games/OrbelZolta-Windows";
    std::filesystem::create_directories(support);
}

void createWindow(HINSTANCE instance) {
    WNDCLASSW record{};
    record.lpfnWndProc = proc;
    record.hInstance = instance;
    record.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    record.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    record.hbrBackground = CreateSolidBrush(RGB(16, 18, 22));
    record.lpszClassName = windowClass;
    RegisterClassW(&record);

    windowHandle = CreateWindowExW(0, windowClass, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                   CW_USEDEFAULT, 1440, 960, nullptr, nullptr, instance, nullptr);
    // Without a window nothing could ever end the loop.
    zolta_launcher::require(windowHandle != nullptr, "Cannot create the launcher window");
    rethrowFailure();
    BOOL dark = TRUE;
    DwmSetWindowAttribute(windowHandle, darkTitleBar, &dark, sizeof dark);
    ShowWindow(windowHandle, SW_SHOW);
    rethrowFailure();
}

// Payloads that arrived after the window was gone were never handled: free them.
void dropPayloads() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_WORKER_PAYLOAD, WM_WORKER_PAYLOAD, PM_REMOVE))
        delete reinterpret_cast<nlohmann::json*>(message.lParam);
}

void shutdown(HANDLE guard) {
    stopWorker();
    dropPayloads();
    if (controller != nullptr) controller->Close();
    if (web != nullptr) web->Release();
    if (controller != nullptr) controller->Release();
    web = nullptr;
    controller = nullptr;
    CoUninitialize();
    if (guard != nullptr) CloseHandle(guard);
}

int run(HINSTANCE instance, const wchar_t* tail) {
    std::filesystem::path exeDir = exeFolder();
    if (tail != nullptr && std::wcscmp(tail, L"--core-smoke") == 0)
        return smoke(exeDir / L"launcher-smoke-data");

    findDataFolder();
    // One launcher per session, and one per data folder: two sessions of one user share it,
    // and each install's sweep would remove the other's staging folder.
    HANDLE guard = CreateMutexW(nullptr, FALSE, L"Local\\OrbelLauncher-0.2");
    const bool first = firstInSession(guard, GetLastError());
    if (!first || !host::lockFolder(support)) {
        MessageBoxW(nullptr, L"Orbel Launcher is already open.", title, MB_OK);
        if (guard != nullptr) CloseHandle(guard);
        return 0;
    }
    readSettings();
    detect();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    createWindow(instance);
    createWeb(exeDir);
    rethrowFailure();
    runLoop();
    shutdown(guard);
    return 0;
}

// The error box's text; a text that is not UTF-8 is shown with its bad bytes replaced.
std::wstring boxText(const std::string& text) {
    const std::u16string converted = zolta_launcher::wide(clean(text));
    return {converted.begin(), converted.end()};
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR tail, int) {
    try {
        return run(instance, tail);
    } catch (const std::exception& error) {
        // A job may still run: told to stop before the box, so that no install goes on behind
        // it, and joined once the box is closed (a thread left unjoined would end the process
        // abnormally).
        cancelled.exchange(true);
        failureBox(boxText(error.what()));
        stopWorker();
        return 1;
    }
}
