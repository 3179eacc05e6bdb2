// A stand-in for the WebView2 loader library, for running the real launcher where no WebView2
// runtime can exist. It hands out small fake objects that answer on the launcher's own message
// loop, as the runtime does, plays a page that navigates away once and then sends "ready", and
// writes every call it receives to "fake-webview2.log" beside itself. FAKE_WEBVIEW2 names a step
// to fail: entry, environment, controller, mapping.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "webview2.h"

namespace {

std::wstring mode() {
    wchar_t value[64] = {};
    GetEnvironmentVariableW(L"FAKE_WEBVIEW2", value, 64);
    return value;
}

// Appends one line to the log; opened each time, so nothing depends on the order of exit.
void note(const std::wstring& line) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&mode), &self);
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(self, path.data(), MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"fake-webview2.log";
    if (FILE* file = _wfopen(path.c_str(), L"a")) {
        fwprintf(file, L"%ls\n", line.c_str());
        fclose(file);
    }
}

// Runs later, from the message loop of the calling thread, as the runtime's callbacks do.
std::vector<std::function<void()>> steps;
void later(std::function<void()> step) {
    steps.push_back(std::move(step));
    SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        auto next = steps.front();
        steps.erase(steps.begin());
        next();
    });
}

// One fake object: a vtable, a reference count and the handlers registered with it.
struct Object {
    const void* const* vtable = nullptr;
    ULONG refs = 1;
    std::vector<IUnknown*> handlers;
};

HRESULT STDMETHODCALLTYPE unexpected(Object*) {
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE queryInterface(Object* self, REFIID iid, void** out) {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ICoreWebView2) &&
        !IsEqualIID(iid, IID_ICoreWebView2_2) && !IsEqualIID(iid, IID_ICoreWebView2_3))
        return E_NOINTERFACE;
    *out = self;
    ++self->refs;
    return S_OK;
}
ULONG STDMETHODCALLTYPE addRef(Object* self) {
    return ++self->refs;
}
ULONG STDMETHODCALLTYPE release(Object* self) {
    return --self->refs;
}

template <std::size_t Slots> struct Table {
    const void* entries[Slots];
    Table() {
        for (auto& entry : entries) entry = reinterpret_cast<const void*>(&unexpected);
        set(0, &queryInterface).set(1, &addRef).set(2, &release);
    }
    template <typename Function> Table& set(std::size_t slot, Function function) {
        entries[slot] = reinterpret_cast<const void*>(function);
        return *this;
    }
};

Object environment, controller, web, settings, navigation, message;
const wchar_t* pageAddress = L""; // where the page is going

HRESULT STDMETHODCALLTYPE keep(Object* self, IUnknown* handler, EventRegistrationToken* token) {
    handler->AddRef();
    self->handlers.push_back(handler);
    token->value = static_cast<INT64>(self->handlers.size());
    return S_OK;
}

LPWSTR taskCopy(const wchar_t* text) {
    std::size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(copy, text, bytes);
    return copy;
}

// The page: a navigation the launcher must refuse, then its own start, then "ready". The
// handlers are in the order of registration: message, navigation, new window, permission.
void playPage(const std::wstring& start) {
    static std::wstring address;
    address = start;
    auto navigate = [](const wchar_t* to) {
        pageAddress = to;
        reinterpret_cast<ICoreWebView2NavigationStartingEventHandler*>(web.handlers.at(1))
            ->Invoke(reinterpret_cast<ICoreWebView2*>(&web),
                     reinterpret_cast<ICoreWebView2NavigationStartingEventArgs*>(&navigation));
    };
    navigate(L"https://www.orbel.test/elsewhere");
    navigate(address.c_str());
    reinterpret_cast<ICoreWebView2WebMessageReceivedEventHandler*>(web.handlers.at(0))
        ->Invoke(reinterpret_cast<ICoreWebView2*>(&web),
                 reinterpret_cast<ICoreWebView2WebMessageReceivedEventArgs*>(&message));
}

const auto settingsTable = Table<21>()
                               .set(
                                   10,
                                   +[](Object*, BOOL on) -> HRESULT {
                                       note(L"statusBar " + std::to_wstring(on));
                                       return S_OK;
                                   })
                               .set(
                                   12,
                                   +[](Object*, BOOL on) -> HRESULT {
                                       note(L"devTools " + std::to_wstring(on));
                                       return S_OK;
                                   })
                               .set(
                                   14, +[](Object*, BOOL on) -> HRESULT {
                                       note(L"contextMenus " + std::to_wstring(on));
                                       return S_OK;
                                   });

const auto webTable =
    Table<73>()
        .set(
            3,
            +[](Object*, Object** out) -> HRESULT {
                *out = &settings;
                ++settings.refs;
                return S_OK;
            })
        .set(
            5,
            +[](Object*, LPCWSTR uri) -> HRESULT {
                note(std::wstring(L"navigate ") + uri);
                std::wstring start = uri;
                later([start] { playPage(start); });
                return S_OK;
            })
        .set(7, &keep)
        .set(11, &keep)
        .set(23, &keep)
        .set(
            32,
            +[](Object*, LPCWSTR json) -> HRESULT {
                note(std::wstring(L"post ") + std::wstring(json).substr(0, 24));
                return S_OK;
            })
        .set(34, &keep)
        .set(44, &keep)
        .set(
            71, +[](Object*, LPCWSTR host, LPCWSTR folder, int access) -> HRESULT {
                note(std::wstring(L"map ") + host + L" " + folder + L" " + std::to_wstring(access));
                return mode() == L"mapping" ? E_FAIL : S_OK;
            });

const auto controllerTable = Table<26>()
                                 .set(
                                     6,
                                     +[](Object*, RECT r) -> HRESULT {
                                         note(L"bounds " + std::to_wstring(r.right - r.left) +
                                              L"x" + std::to_wstring(r.bottom - r.top));
                                         return S_OK;
                                     })
                                 .set(
                                     24,
                                     +[](Object*) -> HRESULT {
                                         note(L"close");
                                         return S_OK;
                                     })
                                 .set(
                                     25, +[](Object*, Object** out) -> HRESULT {
                                         *out = &web;
                                         ++web.refs;
                                         return S_OK;
                                     });

const auto environmentTable = Table<8>().set(
    3, +[](Object*, HWND, IUnknown* handler) -> HRESULT {
        note(L"controller");
        handler->AddRef();
        later([handler] {
            auto* done =
                reinterpret_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*>(
                    handler);
            if (mode() == L"controller")
                done->Invoke(E_FAIL, nullptr);
            else
                done->Invoke(S_OK, reinterpret_cast<ICoreWebView2Controller*>(&controller));
            handler->Release();
        });
        return S_OK;
    });

const auto argsTable =
    Table<11>()
        .set(
            3,
            +[](Object*, LPWSTR* out) -> HRESULT { // get_Uri, get_Source
                *out = taskCopy(pageAddress);
                return S_OK;
            })
        .set(
            4,
            +[](Object*, LPWSTR* out) -> HRESULT { // get_WebMessageAsJson
                *out = taskCopy(L"{\"action\":\"ready\"}");
                return S_OK;
            })
        .set(
            8, +[](Object*, BOOL cancel) -> HRESULT { // put_Cancel
                note(std::wstring(L"cancel ") + pageAddress + L" " + std::to_wstring(cancel));
                return S_OK;
            });

} // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions*,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    environment.vtable = environmentTable.entries;
    controller.vtable = controllerTable.entries;
    web.vtable = webTable.entries;
    settings.vtable = settingsTable.entries;
    navigation.vtable = message.vtable = argsTable.entries;
    note(std::wstring(L"create ") + userDataFolder);
    if (mode() == L"entry") return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    handler->AddRef();
    later([handler] {
        if (mode() == L"environment")
            handler->Invoke(E_FAIL, nullptr);
        else
            handler->Invoke(S_OK, reinterpret_cast<ICoreWebView2Environment*>(&environment));
        handler->Release();
    });
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // At exit: what the launcher left of its references (the fake's own is 1).
    if (reason == DLL_PROCESS_DETACH && controller.vtable != nullptr)
        note(L"refs controller=" + std::to_wstring(controller.refs) + L" web=" +
             std::to_wstring(web.refs));
    return TRUE;
}
