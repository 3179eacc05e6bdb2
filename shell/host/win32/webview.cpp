// The WebView2 host: creates the web view in the main window, serves the page folder under the
// launcher's own host name and keeps the web view on that one page.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>

#include "callback.h"
#include "shell.h"
#include "win32.h"

namespace launcher {

ICoreWebView2Controller* controller = nullptr;
ICoreWebView2* web = nullptr;
const wchar_t* const startAddress = L"https://" VIRTUAL_HOST "/index.html";

namespace {

constexpr wchar_t hostName[] = L"" VIRTUAL_HOST;
constexpr std::size_t longestMessage = 4095; // UTF-16 units
constexpr wchar_t runtimePage[] =
    L"https://developer.microsoft.com/microsoft-edge/webview2/#download-section";

// A string that WebView2 allocated with the COM allocator.
struct TaskText {
    LPWSTR text = nullptr;
    TaskText() = default;
    TaskText(const TaskText&) = delete;
    TaskText& operator=(const TaskText&) = delete;
    ~TaskText() { CoTaskMemFree(text); }
};

using EnvironmentHandler = Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                    HRESULT, ICoreWebView2Environment*>;
using ControllerHandler = Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                   HRESULT, ICoreWebView2Controller*>;
using MessageHandler = Callback<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                                ICoreWebView2WebMessageReceivedEventArgs*>;
using NavigationHandler = Callback<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*,
                                   ICoreWebView2NavigationStartingEventArgs*>;
using NewWindowHandler = Callback<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*,
                                  ICoreWebView2NewWindowRequestedEventArgs*>;
using PermissionHandler = Callback<ICoreWebView2PermissionRequestedEventHandler, ICoreWebView2*,
                                   ICoreWebView2PermissionRequestedEventArgs*>;
using SourceHandler = Callback<ICoreWebView2SourceChangedEventHandler, ICoreWebView2*,
                               ICoreWebView2SourceChangedEventArgs*>;

// The game's web page as the box shows it: without its scheme.
std::wstring websiteText() {
    std::wstring site = L"" GAME_WEBSITE;
    auto scheme = site.find(L"://");
    return scheme == std::wstring::npos ? site : site.substr(scheme + 3);
}

void configure(ICoreWebView2Settings* settings) {
    settings->put_AreDevToolsEnabled(FALSE);
    settings->put_AreDefaultContextMenusEnabled(FALSE);
    settings->put_IsStatusBarEnabled(FALSE);
}

void registerRules() {
    EventRegistrationToken token{};
    auto* message =
        MessageHandler::make([](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
            return webMessageReceived(args);
        });
    web->add_WebMessageReceived(message, &token);
    message->Release();
    auto* navigation =
        NavigationHandler::make([](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
            return navigationStarting(args);
        });
    web->add_NavigationStarting(navigation, &token);
    navigation->Release();
    auto* window =
        NewWindowHandler::make([](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
            return newWindowRequested(args);
        });
    web->add_NewWindowRequested(window, &token);
    window->Release();
    auto* permission = PermissionHandler::make(
        [](ICoreWebView2*, ICoreWebView2PermissionRequestedEventArgs* args) {
            return permissionRequested(args);
        });
    web->add_PermissionRequested(permission, &token);
    permission->Release();
    auto* source =
        SourceHandler::make([](ICoreWebView2* sender, ICoreWebView2SourceChangedEventArgs*) {
            return sourceChanged(sender);
        });
    web->add_SourceChanged(source, &token);
    source->Release();
}

} // namespace

void reportFailure(const std::string& text) noexcept {
    // A text that is not UTF-8 could not go to the page as it is: its bad bytes are replaced.
    try {
        notice(clean(text), Notice::error);
    } catch (...) {
    }
}

void createWeb(const std::filesystem::path& exeDir) {
    // By full path, its own dependencies only from its folder and the system folder: a loader
    // elsewhere on the search path is never picked up.
    HMODULE loader =
        LoadLibraryExW((exeDir / L"WebView2Loader.dll").c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (loader == nullptr) return runtimeMissing();
    auto entry = GetProcAddress(loader, "CreateCoreWebView2EnvironmentWithOptions");
    if (entry == nullptr) return runtimeMissing();
    auto create = reinterpret_cast<CreateCoreWebView2EnvironmentWithOptionsFunction>(
        reinterpret_cast<void (*)()>(entry));

    auto* handler =
        EnvironmentHandler::make([exeDir](HRESULT result, ICoreWebView2Environment* environment) {
            return environmentCompleted(exeDir, result, environment);
        });
    HRESULT started = create(nullptr, (support / L"WebView2").c_str(), nullptr, handler);
    handler->Release();
    if (FAILED(started)) runtimeMissing();
}

HRESULT environmentCompleted(const std::filesystem::path& exeDir, HRESULT result,
                             ICoreWebView2Environment* environment) {
    if (FAILED(result) || environment == nullptr) {
        runtimeMissing();
        return S_OK;
    }
    auto* handler =
        ControllerHandler::make([exeDir](HRESULT done, ICoreWebView2Controller* created) {
            return controllerCompleted(exeDir, done, created);
        });
    HRESULT started = environment->CreateCoreWebView2Controller(windowHandle, handler);
    handler->Release();
    if (FAILED(started)) runtimeMissing();
    return S_OK;
}

HRESULT controllerCompleted(const std::filesystem::path& exeDir, HRESULT result,
                            ICoreWebView2Controller* created) {
    if (FAILED(result) || created == nullptr) {
        runtimeMissing();
        return S_OK;
    }
    controller = created;
    controller->AddRef();
    controller->get_CoreWebView2(&web);
    if (web == nullptr) { // a controller without a web view cannot show the page
        runtimeMissing();
        return S_OK;
    }
    resize();

    ICoreWebView2Settings* settings = nullptr;
    if (SUCCEEDED(web->get_Settings(&settings)) && settings != nullptr) {
        configure(settings);
        settings->Release();
    }

    ICoreWebView2_3* web3 = nullptr;
    if (FAILED(web->QueryInterface(IID_ICoreWebView2_3, reinterpret_cast<void**>(&web3))) ||
        web3 == nullptr) {
        runtimeMissing();
        return S_OK;
    }
    HRESULT mapped = web3->SetVirtualHostNameToFolderMapping(
        hostName, (exeDir / L"ui").c_str(), COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY);
    web3->Release();
    if (FAILED(mapped)) {
        runtimeMissing();
        return S_OK;
    }

    registerRules();
    web->Navigate(startAddress);
    return S_OK;
}

bool isStartAddress(const wchar_t* address) {
    return address != nullptr && std::wcscmp(address, startAddress) == 0;
}

HRESULT navigationStarting(ICoreWebView2NavigationStartingEventArgs* args) {
    TaskText uri;
    args->get_Uri(&uri.text);
    if (!isStartAddress(uri.text)) args->put_Cancel(TRUE);
    return S_OK;
}

HRESULT sourceChanged(ICoreWebView2* sender) {
    TaskText source;
    sender->get_Source(&source.text);
    if (source.text != nullptr && !isStartAddress(source.text)) sender->Navigate(startAddress);
    return S_OK;
}

HRESULT newWindowRequested(ICoreWebView2NewWindowRequestedEventArgs* args) {
    args->put_Handled(TRUE); // and no new window given: nothing opens
    return S_OK;
}

HRESULT permissionRequested(ICoreWebView2PermissionRequestedEventArgs* args) {
    args->put_State(COREWEBVIEW2_PERMISSION_STATE_DENY);
    return S_OK;
}

std::optional<std::u16string> acceptedMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    TaskText source;
    args->get_Source(&source.text);
    if (!isStartAddress(source.text)) return std::nullopt;
    TaskText json;
    if (FAILED(args->get_WebMessageAsJson(&json.text)) || json.text == nullptr) return std::nullopt;
    std::size_t length = wcsnlen(json.text, longestMessage + 1);
    if (length > longestMessage) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(json.text), length);
}

HRESULT webMessageReceived(ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (auto text = acceptedMessage(args)) receive(*text);
    return S_OK;
}

void runtimeMissing() {
    std::wstring text =
        L"Orbel Launcher needs Microsoft Edge WebView2 Runtime to display its interface.\n\n"
        L"It is normally included with Windows 11. Open Microsoft's official runtime download "
        L"page?\n\n"
        L"You can also download the standalone Zolta game from " +
        websiteText() + L".";
    int answer = MessageBoxW(windowHandle, text.c_str(), L"Microsoft WebView2 Runtime required",
                             MB_YESNO | MB_ICONINFORMATION);
    if (answer == IDYES)
        ShellExecuteW(windowHandle, L"open", runtimePage, nullptr, nullptr, SW_SHOWNORMAL);
    DestroyWindow(windowHandle);
}

} // namespace launcher
