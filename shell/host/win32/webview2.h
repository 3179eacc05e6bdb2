// The WebView2 interfaces the launcher uses, declared by hand: single inheritance, pure virtual
// methods in slot order, no virtual destructor, so each struct matches the published vtable.
// Every method carries its published slot number, and the compiler checks it against the
// method's position; every interface identifier is checked against its published text form.
#pragma once

#include <windows.h>

#include <eventtoken.h>
#include <oaidl.h>
#include <objidl.h>

#include <cstdint>
#include <type_traits>

// --- Interface identifiers ---

namespace webview2_check {

constexpr unsigned hexDigit(char c) {
    return c >= '0' && c <= '9'   ? unsigned(c - '0')
           : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                                  : 0x100; // poisons the sum below
}

// Reads count hexadecimal digits of text from position at; 0x100 marks a bad digit.
constexpr unsigned long long hex(const char* text, int at, int count) {
    unsigned long long value = 0;
    for (int i = 0; i < count; ++i) {
        unsigned digit = hexDigit(text[at + i]);
        if (digit > 15) return ~0ull;
        value = value * 16 + digit;
    }
    return value;
}

// Whether iid is the identifier written as "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
constexpr bool sameIid(const IID& iid, const char (&text)[37]) {
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    if (iid.Data1 != hex(text, 0, 8) || iid.Data2 != hex(text, 9, 4) ||
        iid.Data3 != hex(text, 14, 4))
        return false;
    constexpr int at[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i)
        if (iid.Data4[i] != hex(text, at[i], 2)) return false;
    return true;
}

} // namespace webview2_check

#define WEBVIEW2_IID(name, text, d1, d2, d3, ...)                                                  \
    inline constexpr IID IID_##name = {d1, d2, d3, {__VA_ARGS__}};                                 \
    static_assert(webview2_check::sameIid(IID_##name, text), #name " identifier")

WEBVIEW2_IID(ICoreWebView2Environment, "b96d755e-0319-4e92-a296-23436f46a1fc", 0xb96d755e, 0x0319,
             0x4e92, 0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc);
WEBVIEW2_IID(ICoreWebView2Controller, "4d00c0d1-9434-4eb6-8078-8697a560334f", 0x4d00c0d1, 0x9434,
             0x4eb6, 0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f);
WEBVIEW2_IID(ICoreWebView2, "76eceacb-0462-4d94-ac83-423a6793775e", 0x76eceacb, 0x0462, 0x4d94,
             0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e);
WEBVIEW2_IID(ICoreWebView2_2, "9e8f0cf8-e670-4b5e-b2bc-73e061e3184c", 0x9e8f0cf8, 0xe670, 0x4b5e,
             0xb2, 0xbc, 0x73, 0xe0, 0x61, 0xe3, 0x18, 0x4c);
WEBVIEW2_IID(ICoreWebView2_3, "a0d6df20-3b92-416d-aa0c-437a9c727857", 0xa0d6df20, 0x3b92, 0x416d,
             0xaa, 0x0c, 0x43, 0x7a, 0x9c, 0x72, 0x78, 0x57);
WEBVIEW2_IID(ICoreWebView2Settings, "e562e4f0-d7fa-43ac-8d71-c05150499f00", 0xe562e4f0, 0xd7fa,
             0x43ac, 0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00);
WEBVIEW2_IID(ICoreWebView2NavigationStartingEventArgs, "5b495469-e119-438a-9b18-7604f25f2e49",
             0x5b495469, 0xe119, 0x438a, 0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49);
WEBVIEW2_IID(ICoreWebView2NewWindowRequestedEventArgs, "34acb11c-fc37-4418-9132-f9c21d1eafb9",
             0x34acb11c, 0xfc37, 0x4418, 0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9);
WEBVIEW2_IID(ICoreWebView2PermissionRequestedEventArgs, "973ae2ef-ff18-4894-8fb2-3c758f046810",
             0x973ae2ef, 0xff18, 0x4894, 0x8f, 0xb2, 0x3c, 0x75, 0x8f, 0x04, 0x68, 0x10);
WEBVIEW2_IID(ICoreWebView2WebMessageReceivedEventArgs, "0f99a40c-e962-4207-9e92-e3d542eff849",
             0x0f99a40c, 0xe962, 0x4207, 0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49);
WEBVIEW2_IID(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
             "4e8a3389-c9d8-4bd2-b6b5-124fee6cc14d", 0x4e8a3389, 0xc9d8, 0x4bd2, 0xb6, 0xb5, 0x12,
             0x4f, 0xee, 0x6c, 0xc1, 0x4d);
WEBVIEW2_IID(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
             "6c4819f3-c9b7-4260-8127-c9f5bde7f68c", 0x6c4819f3, 0xc9b7, 0x4260, 0x81, 0x27, 0xc9,
             0xf5, 0xbd, 0xe7, 0xf6, 0x8c);
WEBVIEW2_IID(ICoreWebView2WebMessageReceivedEventHandler, "57213f19-00e6-49fa-8e07-898ea01ecbd2",
             0x57213f19, 0x00e6, 0x49fa, 0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2);
WEBVIEW2_IID(ICoreWebView2NavigationStartingEventHandler, "9adbe429-f36d-432b-9ddc-f8881fbd76e3",
             0x9adbe429, 0xf36d, 0x432b, 0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3);
WEBVIEW2_IID(ICoreWebView2NewWindowRequestedEventHandler, "d4c185fe-c81c-4989-97af-2d3fa7ab5651",
             0xd4c185fe, 0xc81c, 0x4989, 0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51);
WEBVIEW2_IID(ICoreWebView2PermissionRequestedEventHandler, "15e1c6a3-c72a-4df3-91d7-d097fbec6bfd",
             0x15e1c6a3, 0xc72a, 0x4df3, 0x91, 0xd7, 0xd0, 0x97, 0xfb, 0xec, 0x6b, 0xfd);
WEBVIEW2_IID(ICoreWebView2SourceChangedEventHandler, "3c067f9f-5388-4772-8b48-79f7ef1ab37c",
             0x3c067f9f, 0x5388, 0x4772, 0x8b, 0x48, 0x79, 0xf7, 0xef, 0x1a, 0xb3, 0x7c);

#undef WEBVIEW2_IID

// --- Enumerations (all 32-bit) ---

enum COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND : std::int32_t {
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY = 0,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW = 1,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY_CORS = 2,
};

enum COREWEBVIEW2_PERMISSION_STATE : std::int32_t {
    COREWEBVIEW2_PERMISSION_STATE_DEFAULT = 0,
    COREWEBVIEW2_PERMISSION_STATE_ALLOW = 1,
    COREWEBVIEW2_PERMISSION_STATE_DENY = 2,
};

// Newer runtimes report kinds beyond these; the launcher denies every kind alike.
enum COREWEBVIEW2_PERMISSION_KIND : std::int32_t {
    COREWEBVIEW2_PERMISSION_KIND_UNKNOWN_PERMISSION = 0,
    COREWEBVIEW2_PERMISSION_KIND_MICROPHONE = 1,
    COREWEBVIEW2_PERMISSION_KIND_CAMERA = 2,
    COREWEBVIEW2_PERMISSION_KIND_GEOLOCATION = 3,
    COREWEBVIEW2_PERMISSION_KIND_NOTIFICATIONS = 4,
    COREWEBVIEW2_PERMISSION_KIND_OTHER_SENSORS = 5,
    COREWEBVIEW2_PERMISSION_KIND_CLIPBOARD_READ = 6,
};

// Used only in slots the launcher never calls.
enum COREWEBVIEW2_MOVE_FOCUS_REASON : std::int32_t {};
enum COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT : std::int32_t {};
enum COREWEBVIEW2_WEB_RESOURCE_CONTEXT : std::int32_t {};

// Interfaces that appear only as pointer parameters.
struct ICoreWebView2AcceleratorKeyPressedEventHandler;
struct ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler;
struct ICoreWebView2CallDevToolsProtocolMethodCompletedHandler;
struct ICoreWebView2CapturePreviewCompletedHandler;
struct ICoreWebView2ContainsFullScreenElementChangedEventHandler;
struct ICoreWebView2ContentLoadingEventHandler;
struct ICoreWebView2CookieManager;
struct ICoreWebView2Deferral;
struct ICoreWebView2DevToolsProtocolEventReceiver;
struct ICoreWebView2DocumentTitleChangedEventHandler;
struct ICoreWebView2DOMContentLoadedEventHandler;
struct ICoreWebView2EnvironmentOptions;
struct ICoreWebView2ExecuteScriptCompletedHandler;
struct ICoreWebView2FocusChangedEventHandler;
struct ICoreWebView2HistoryChangedEventHandler;
struct ICoreWebView2HttpRequestHeaders;
struct ICoreWebView2MoveFocusRequestedEventHandler;
struct ICoreWebView2NavigationCompletedEventHandler;
struct ICoreWebView2NewBrowserVersionAvailableEventHandler;
struct ICoreWebView2ProcessFailedEventHandler;
struct ICoreWebView2ScriptDialogOpeningEventHandler;
struct ICoreWebView2SourceChangedEventHandler;
struct ICoreWebView2TrySuspendCompletedHandler;
struct ICoreWebView2WebResourceRequest;
struct ICoreWebView2WebResourceRequestedEventHandler;
struct ICoreWebView2WebResourceResponse;
struct ICoreWebView2WebResourceResponseReceivedEventHandler;
struct ICoreWebView2WindowCloseRequestedEventHandler;
struct ICoreWebView2WindowFeatures;
struct ICoreWebView2ZoomFactorChangedEventHandler;

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2NavigationStartingEventArgs;
struct ICoreWebView2SourceChangedEventArgs;
struct ICoreWebView2NewWindowRequestedEventArgs;
struct ICoreWebView2PermissionRequestedEventArgs;
struct ICoreWebView2Settings;
struct ICoreWebView2WebMessageReceivedEventArgs;

// --- Slot checks ---
// SLOTS_FROM(first) opens an interface whose first own method has slot first; each METHOD(slot)
// then asserts that it is declared exactly at that slot. __COUNTER__ counts the declarations,
// so a missing, extra or swapped method stops the build.
#define SLOTS_FROM(first) enum : int { slotCounter_ = __COUNTER__ + 1 - (first) };
#define METHOD(slot)                                                                               \
    static_assert(__COUNTER__ - slotCounter_ == (slot), "method out of its slot");                 \
    virtual HRESULT STDMETHODCALLTYPE

// --- Handler interfaces (IUnknown, then Invoke at slot 3) ---

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(HRESULT errorCode, ICoreWebView2Environment* result) = 0;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(HRESULT errorCode, ICoreWebView2Controller* result) = 0;
};

struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(ICoreWebView2* sender, ICoreWebView2NavigationStartingEventArgs* args) = 0;
};

struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(ICoreWebView2* sender, ICoreWebView2NewWindowRequestedEventArgs* args) = 0;
};

struct ICoreWebView2PermissionRequestedEventHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(ICoreWebView2* sender, ICoreWebView2PermissionRequestedEventArgs* args) = 0;
};

struct ICoreWebView2SourceChangedEventHandler : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) Invoke(ICoreWebView2* sender, ICoreWebView2SourceChangedEventArgs* args) = 0;
};

// --- Interfaces the launcher calls ---

struct ICoreWebView2Environment : IUnknown {
    SLOTS_FROM(3)
    METHOD(3)
    CreateCoreWebView2Controller(
        HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;
    METHOD(4)
    CreateWebResourceResponse(IStream* content, int statusCode, LPCWSTR reasonPhrase,
                              LPCWSTR headers, ICoreWebView2WebResourceResponse** response) = 0;
    METHOD(5) get_BrowserVersionString(LPWSTR* versionInfo) = 0;
    METHOD(6)
    add_NewBrowserVersionAvailable(
        ICoreWebView2NewBrowserVersionAvailableEventHandler* eventHandler,
        EventRegistrationToken* token) = 0;
    METHOD(7) remove_NewBrowserVersionAvailable(EventRegistrationToken token) = 0;
};

struct ICoreWebView2Controller : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_IsVisible(BOOL* isVisible) = 0;
    METHOD(4) put_IsVisible(BOOL isVisible) = 0;
    METHOD(5) get_Bounds(RECT* bounds) = 0;
    METHOD(6) put_Bounds(RECT bounds) = 0;
    METHOD(7) get_ZoomFactor(double* zoomFactor) = 0;
    METHOD(8) put_ZoomFactor(double zoomFactor) = 0;
    METHOD(9)
    add_ZoomFactorChanged(ICoreWebView2ZoomFactorChangedEventHandler* eventHandler,
                          EventRegistrationToken* token) = 0;
    METHOD(10) remove_ZoomFactorChanged(EventRegistrationToken token) = 0;
    METHOD(11) SetBoundsAndZoomFactor(RECT bounds, double zoomFactor) = 0;
    METHOD(12) MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON reason) = 0;
    METHOD(13)
    add_MoveFocusRequested(ICoreWebView2MoveFocusRequestedEventHandler* eventHandler,
                           EventRegistrationToken* token) = 0;
    METHOD(14) remove_MoveFocusRequested(EventRegistrationToken token) = 0;
    METHOD(15)
    add_GotFocus(ICoreWebView2FocusChangedEventHandler* eventHandler,
                 EventRegistrationToken* token) = 0;
    METHOD(16) remove_GotFocus(EventRegistrationToken token) = 0;
    METHOD(17)
    add_LostFocus(ICoreWebView2FocusChangedEventHandler* eventHandler,
                  EventRegistrationToken* token) = 0;
    METHOD(18) remove_LostFocus(EventRegistrationToken token) = 0;
    METHOD(19)
    add_AcceleratorKeyPressed(ICoreWebView2AcceleratorKeyPressedEventHandler* eventHandler,
                              EventRegistrationToken* token) = 0;
    METHOD(20) remove_AcceleratorKeyPressed(EventRegistrationToken token) = 0;
    METHOD(21) get_ParentWindow(HWND* parentWindow) = 0;
    METHOD(22) put_ParentWindow(HWND parentWindow) = 0;
    METHOD(23) NotifyParentWindowPositionChanged() = 0;
    METHOD(24) Close() = 0;
    METHOD(25) get_CoreWebView2(ICoreWebView2** coreWebView2) = 0;
};

struct ICoreWebView2 : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_Settings(ICoreWebView2Settings** settings) = 0;
    METHOD(4) get_Source(LPWSTR* uri) = 0;
    METHOD(5) Navigate(LPCWSTR uri) = 0;
    METHOD(6) NavigateToString(LPCWSTR htmlContent) = 0;
    METHOD(7)
    add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* eventHandler,
                           EventRegistrationToken* token) = 0;
    METHOD(8) remove_NavigationStarting(EventRegistrationToken token) = 0;
    METHOD(9)
    add_ContentLoading(ICoreWebView2ContentLoadingEventHandler* eventHandler,
                       EventRegistrationToken* token) = 0;
    METHOD(10) remove_ContentLoading(EventRegistrationToken token) = 0;
    METHOD(11)
    add_SourceChanged(ICoreWebView2SourceChangedEventHandler* eventHandler,
                      EventRegistrationToken* token) = 0;
    METHOD(12) remove_SourceChanged(EventRegistrationToken token) = 0;
    METHOD(13)
    add_HistoryChanged(ICoreWebView2HistoryChangedEventHandler* eventHandler,
                       EventRegistrationToken* token) = 0;
    METHOD(14) remove_HistoryChanged(EventRegistrationToken token) = 0;
    METHOD(15)
    add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* eventHandler,
                            EventRegistrationToken* token) = 0;
    METHOD(16) remove_NavigationCompleted(EventRegistrationToken token) = 0;
    METHOD(17)
    add_FrameNavigationStarting(ICoreWebView2NavigationStartingEventHandler* eventHandler,
                                EventRegistrationToken* token) = 0;
    METHOD(18) remove_FrameNavigationStarting(EventRegistrationToken token) = 0;
    METHOD(19)
    add_FrameNavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* eventHandler,
                                 EventRegistrationToken* token) = 0;
    METHOD(20) remove_FrameNavigationCompleted(EventRegistrationToken token) = 0;
    METHOD(21)
    add_ScriptDialogOpening(ICoreWebView2ScriptDialogOpeningEventHandler* eventHandler,
                            EventRegistrationToken* token) = 0;
    METHOD(22) remove_ScriptDialogOpening(EventRegistrationToken token) = 0;
    METHOD(23)
    add_PermissionRequested(ICoreWebView2PermissionRequestedEventHandler* eventHandler,
                            EventRegistrationToken* token) = 0;
    METHOD(24) remove_PermissionRequested(EventRegistrationToken token) = 0;
    METHOD(25)
    add_ProcessFailed(ICoreWebView2ProcessFailedEventHandler* eventHandler,
                      EventRegistrationToken* token) = 0;
    METHOD(26) remove_ProcessFailed(EventRegistrationToken token) = 0;
    METHOD(27)
    AddScriptToExecuteOnDocumentCreated(
        LPCWSTR javaScript,
        ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) = 0;
    METHOD(28) RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) = 0;
    METHOD(29)
    ExecuteScript(LPCWSTR javaScript, ICoreWebView2ExecuteScriptCompletedHandler* handler) = 0;
    METHOD(30)
    CapturePreview(COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT imageFormat, IStream* imageStream,
                   ICoreWebView2CapturePreviewCompletedHandler* handler) = 0;
    METHOD(31) Reload() = 0;
    METHOD(32) PostWebMessageAsJson(LPCWSTR webMessageAsJson) = 0;
    METHOD(33) PostWebMessageAsString(LPCWSTR webMessageAsString) = 0;
    METHOD(34)
    add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                           EventRegistrationToken* token) = 0;
    METHOD(35) remove_WebMessageReceived(EventRegistrationToken token) = 0;
    METHOD(36)
    CallDevToolsProtocolMethod(LPCWSTR methodName, LPCWSTR parametersAsJson,
                               ICoreWebView2CallDevToolsProtocolMethodCompletedHandler* handler) =
        0;
    METHOD(37) get_BrowserProcessId(UINT32* value) = 0;
    METHOD(38) get_CanGoBack(BOOL* canGoBack) = 0;
    METHOD(39) get_CanGoForward(BOOL* canGoForward) = 0;
    METHOD(40) GoBack() = 0;
    METHOD(41) GoForward() = 0;
    METHOD(42)
    GetDevToolsProtocolEventReceiver(LPCWSTR eventName,
                                     ICoreWebView2DevToolsProtocolEventReceiver** receiver) = 0;
    METHOD(43) Stop() = 0;
    METHOD(44)
    add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* eventHandler,
                           EventRegistrationToken* token) = 0;
    METHOD(45) remove_NewWindowRequested(EventRegistrationToken token) = 0;
    METHOD(46)
    add_DocumentTitleChanged(ICoreWebView2DocumentTitleChangedEventHandler* eventHandler,
                             EventRegistrationToken* token) = 0;
    METHOD(47) remove_DocumentTitleChanged(EventRegistrationToken token) = 0;
    METHOD(48) get_DocumentTitle(LPWSTR* title) = 0;
    METHOD(49) AddHostObjectToScript(LPCWSTR name, VARIANT* object) = 0;
    METHOD(50) RemoveHostObjectFromScript(LPCWSTR name) = 0;
    METHOD(51) OpenDevToolsWindow() = 0;
    METHOD(52)
    add_ContainsFullScreenElementChanged(
        ICoreWebView2ContainsFullScreenElementChangedEventHandler* eventHandler,
        EventRegistrationToken* token) = 0;
    METHOD(53) remove_ContainsFullScreenElementChanged(EventRegistrationToken token) = 0;
    METHOD(54) get_ContainsFullScreenElement(BOOL* containsFullScreenElement) = 0;
    METHOD(55)
    add_WebResourceRequested(ICoreWebView2WebResourceRequestedEventHandler* eventHandler,
                             EventRegistrationToken* token) = 0;
    METHOD(56) remove_WebResourceRequested(EventRegistrationToken token) = 0;
    METHOD(57)
    AddWebResourceRequestedFilter(const LPCWSTR uri,
                                  const COREWEBVIEW2_WEB_RESOURCE_CONTEXT resourceContext) = 0;
    METHOD(58)
    RemoveWebResourceRequestedFilter(const LPCWSTR uri,
                                     const COREWEBVIEW2_WEB_RESOURCE_CONTEXT resourceContext) = 0;
    METHOD(59)
    add_WindowCloseRequested(ICoreWebView2WindowCloseRequestedEventHandler* eventHandler,
                             EventRegistrationToken* token) = 0;
    METHOD(60) remove_WindowCloseRequested(EventRegistrationToken token) = 0;
};

struct ICoreWebView2_2 : ICoreWebView2 {
    SLOTS_FROM(61)
    METHOD(61)
    add_WebResourceResponseReceived(
        ICoreWebView2WebResourceResponseReceivedEventHandler* eventHandler,
        EventRegistrationToken* token) = 0;
    METHOD(62) remove_WebResourceResponseReceived(EventRegistrationToken token) = 0;
    METHOD(63) NavigateWithWebResourceRequest(ICoreWebView2WebResourceRequest* request) = 0;
    METHOD(64)
    add_DOMContentLoaded(ICoreWebView2DOMContentLoadedEventHandler* eventHandler,
                         EventRegistrationToken* token) = 0;
    METHOD(65) remove_DOMContentLoaded(EventRegistrationToken token) = 0;
    METHOD(66) get_CookieManager(ICoreWebView2CookieManager** cookieManager) = 0;
    METHOD(67) get_Environment(ICoreWebView2Environment** environment) = 0;
};

struct ICoreWebView2_3 : ICoreWebView2_2 {
    SLOTS_FROM(68)
    METHOD(68) TrySuspend(ICoreWebView2TrySuspendCompletedHandler* handler) = 0;
    METHOD(69) Resume() = 0;
    METHOD(70) get_IsSuspended(BOOL* isSuspended) = 0;
    METHOD(71)
    SetVirtualHostNameToFolderMapping(LPCWSTR hostName, LPCWSTR folderPath,
                                      COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND accessKind) = 0;
    METHOD(72) ClearVirtualHostNameToFolderMapping(LPCWSTR hostName) = 0;
};

struct ICoreWebView2Settings : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_IsScriptEnabled(BOOL* isScriptEnabled) = 0;
    METHOD(4) put_IsScriptEnabled(BOOL isScriptEnabled) = 0;
    METHOD(5) get_IsWebMessageEnabled(BOOL* isWebMessageEnabled) = 0;
    METHOD(6) put_IsWebMessageEnabled(BOOL isWebMessageEnabled) = 0;
    METHOD(7) get_AreDefaultScriptDialogsEnabled(BOOL* areDefaultScriptDialogsEnabled) = 0;
    METHOD(8) put_AreDefaultScriptDialogsEnabled(BOOL areDefaultScriptDialogsEnabled) = 0;
    METHOD(9) get_IsStatusBarEnabled(BOOL* isStatusBarEnabled) = 0;
    METHOD(10) put_IsStatusBarEnabled(BOOL isStatusBarEnabled) = 0;
    METHOD(11) get_AreDevToolsEnabled(BOOL* areDevToolsEnabled) = 0;
    METHOD(12) put_AreDevToolsEnabled(BOOL areDevToolsEnabled) = 0;
    METHOD(13) get_AreDefaultContextMenusEnabled(BOOL* enabled) = 0;
    METHOD(14) put_AreDefaultContextMenusEnabled(BOOL enabled) = 0;
    METHOD(15) get_AreHostObjectsAllowed(BOOL* allowed) = 0;
    METHOD(16) put_AreHostObjectsAllowed(BOOL allowed) = 0;
    METHOD(17) get_IsZoomControlEnabled(BOOL* enabled) = 0;
    METHOD(18) put_IsZoomControlEnabled(BOOL enabled) = 0;
    METHOD(19) get_IsBuiltInErrorPageEnabled(BOOL* enabled) = 0;
    METHOD(20) put_IsBuiltInErrorPageEnabled(BOOL enabled) = 0;
};

// --- Event arguments ---

struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_Uri(LPWSTR* uri) = 0;
    METHOD(4) get_IsUserInitiated(BOOL* isUserInitiated) = 0;
    METHOD(5) get_IsRedirected(BOOL* isRedirected) = 0;
    METHOD(6) get_RequestHeaders(ICoreWebView2HttpRequestHeaders** requestHeaders) = 0;
    METHOD(7) get_Cancel(BOOL* cancel) = 0;
    METHOD(8) put_Cancel(BOOL cancel) = 0;
    METHOD(9) get_NavigationId(UINT64* navigationId) = 0;
};

struct ICoreWebView2NewWindowRequestedEventArgs : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_Uri(LPWSTR* uri) = 0;
    METHOD(4) put_NewWindow(ICoreWebView2* newWindow) = 0;
    METHOD(5) get_NewWindow(ICoreWebView2** newWindow) = 0;
    METHOD(6) put_Handled(BOOL handled) = 0;
    METHOD(7) get_Handled(BOOL* handled) = 0;
    METHOD(8) get_IsUserInitiated(BOOL* isUserInitiated) = 0;
    METHOD(9) GetDeferral(ICoreWebView2Deferral** deferral) = 0;
    METHOD(10) get_WindowFeatures(ICoreWebView2WindowFeatures** value) = 0;
};

struct ICoreWebView2PermissionRequestedEventArgs : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_Uri(LPWSTR* uri) = 0;
    METHOD(4) get_PermissionKind(COREWEBVIEW2_PERMISSION_KIND* permissionKind) = 0;
    METHOD(5) get_IsUserInitiated(BOOL* isUserInitiated) = 0;
    METHOD(6) get_State(COREWEBVIEW2_PERMISSION_STATE* state) = 0;
    METHOD(7) put_State(COREWEBVIEW2_PERMISSION_STATE state) = 0;
    METHOD(8) GetDeferral(ICoreWebView2Deferral** deferral) = 0;
};

struct ICoreWebView2WebMessageReceivedEventArgs : IUnknown {
    SLOTS_FROM(3)
    METHOD(3) get_Source(LPWSTR* source) = 0;
    METHOD(4) get_WebMessageAsJson(LPWSTR* webMessageAsJson) = 0;
    METHOD(5) TryGetWebMessageAsString(LPWSTR* webMessageAsString) = 0;
};

#undef METHOD
#undef SLOTS_FROM

// The loader library's entry point.
using CreateCoreWebView2EnvironmentWithOptionsFunction = HRESULT(STDAPICALLTYPE*)(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
    ICoreWebView2EnvironmentOptions* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);

// --- Identifier lookup and layout checks ---

template <typename Interface> inline constexpr const IID* iidOf = nullptr;
#define WEBVIEW2_INTERFACE(name, base)                                                             \
    template <> inline constexpr const IID* iidOf<name> = &IID_##name;                             \
    static_assert(std::is_base_of_v<base, name> && std::is_polymorphic_v<name>);                   \
    static_assert(!std::has_virtual_destructor_v<name>, #name " must not add destructor slots");   \
    static_assert(sizeof(name) == sizeof(void*), #name " must hold nothing but its vtable")

WEBVIEW2_INTERFACE(ICoreWebView2Environment, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2Controller, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2_2, ICoreWebView2);
WEBVIEW2_INTERFACE(ICoreWebView2_3, ICoreWebView2_2);
WEBVIEW2_INTERFACE(ICoreWebView2Settings, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2NavigationStartingEventArgs, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2NewWindowRequestedEventArgs, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2PermissionRequestedEventArgs, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2WebMessageReceivedEventArgs, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2WebMessageReceivedEventHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2SourceChangedEventHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2NavigationStartingEventHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2NewWindowRequestedEventHandler, IUnknown);
WEBVIEW2_INTERFACE(ICoreWebView2PermissionRequestedEventHandler, IUnknown);

#undef WEBVIEW2_INTERFACE

static_assert(sizeof(EventRegistrationToken) == 8 && alignof(EventRegistrationToken) == 8);
static_assert(sizeof(BOOL) == 4 && sizeof(COREWEBVIEW2_PERMISSION_STATE) == 4 &&
              sizeof(COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND) == 4 && sizeof(RECT) == 16);
