// The Windows host's own globals and functions: the main window and the WebView2 host.
// User-interface thread only, except windowHandle, which post reads on the worker thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "webview2.h"

namespace launcher {

// The private message that carries a worker's heap payload (lParam) to the window.
inline constexpr UINT WM_WORKER_PAYLOAD = WM_APP + 10;

inline constexpr wchar_t title[] = L"Orbel Launcher"; // the window's title and its boxes'

extern HWND windowHandle;                   // the main window; null until created
extern ICoreWebView2Controller* controller; // one reference, from the controller-completed handler
extern ICoreWebView2* web;                  // one reference, from get_CoreWebView2

// --- The single-instance guard ---

// Whether this start is the session's first launcher, from what CreateMutexW answered for the
// guard's name: the handle and the error that followed. A name that existed counts as another
// launcher, and so does a mutex that can be neither created nor opened (one that an elevated
// launcher made is denied to the others): the guard fails closed.
[[nodiscard]] bool firstInSession(HANDLE mutex, DWORD error);

// --- The window ---

// The main window's procedure. An exception is never let through the platform: it is kept,
// the loop ends, and rethrowFailure hands it to the entry point.
LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void rethrowFailure(); // rethrows what proc kept, if anything

// The message loop, until the quit message; rethrows what proc kept, also while the loop ended.
void runLoop();

// The exceptional exit's error box, titled "Orbel Launcher"; returns once the user dismisses it.
void failureBox(const std::wstring& text);

// Fits the web view to the main window's client area; nothing while there is no web view.
void resize();

// --- The web view ---

// The page's one address: https, the virtual host name, "/index.html".
extern const wchar_t* const startAddress;

// Loads the WebView2 loader beside the executable and starts creating the web view; the rest
// runs in WebView2's callbacks. Calls runtimeMissing when the runtime cannot be used.
void createWeb(const std::filesystem::path& exeDir);

// Explains the missing runtime, offers its download page and destroys the main window.
void runtimeMissing();

// The completion handlers, as WebView2 calls them through their Callback objects.
HRESULT environmentCompleted(const std::filesystem::path& exeDir, HRESULT result,
                             ICoreWebView2Environment* environment);
HRESULT controllerCompleted(const std::filesystem::path& exeDir, HRESULT result,
                            ICoreWebView2Controller* created);

// The rules that keep the web view on the start page.
[[nodiscard]] bool isStartAddress(const wchar_t* address);
HRESULT navigationStarting(ICoreWebView2NavigationStartingEventArgs* args);
HRESULT newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* args);
HRESULT permissionRequested(ICoreWebView2PermissionRequestedEventArgs* args);
// A same-document navigation (a fragment, the history API) raises no NavigationStarting but
// moves the address, after which page messages would be refused: it loads the start page again.
HRESULT sourceChanged(ICoreWebView2* sender);

// A page message's JSON text when it may be handled: from the start page, readable, at most
// 4095 UTF-16 units. Nothing otherwise.
std::optional<std::u16string> acceptedMessage(ICoreWebView2WebMessageReceivedEventArgs* args);
HRESULT webMessageReceived(ICoreWebView2WebMessageReceivedEventArgs* args);

} // namespace launcher
