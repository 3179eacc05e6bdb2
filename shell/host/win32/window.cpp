// The main window's procedure and the web view's fit to it.
#include <exception>
#include <utility>

#include "shell.h"
#include "win32.h"

namespace launcher {

HWND windowHandle = nullptr;

namespace {

std::exception_ptr failure; // what the procedure caught, for the entry point

LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE: // minimising included: the web view then gets the empty rectangle
        resize();
        return 0;
    case WM_CLOSE:
        if (mayClose()) DestroyWindow(window);
        return 0;
    case WM_GETMINMAXINFO: {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize.x = 1060;
        limits->ptMinTrackSize.y = 760;
        return 0;
    }
    case WM_WORKER_PAYLOAD:
        handlePayload(reinterpret_cast<nlohmann::json*>(lParam));
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // An exception cannot unwind through the platform's dispatch: keep it and end the loop.
    try {
        return handleMessage(window, message, wParam, lParam);
    } catch (...) {
        if (!failure) failure = std::current_exception();
        PostQuitMessage(1);
        return 0;
    }
}

void rethrowFailure() {
    if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
}

void runLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        rethrowFailure();
    }
    // A message sent from another thread runs inside GetMessageW: its failure comes with the
    // quit message that ended the loop.
    rethrowFailure();
}

void failureBox(const std::wstring& text) {
    // A pending quit message would end the box's own loop before the user could read it.
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    // Owned by the window while it stands, so the window cannot be closed behind the box.
    MessageBoxW(IsWindow(windowHandle) ? windowHandle : nullptr, text.c_str(), title, MB_ICONERROR);
}

void resize() {
    if (controller == nullptr) return;
    RECT bounds{};
    GetClientRect(windowHandle, &bounds);
    controller->put_Bounds(bounds);
}

} // namespace launcher
