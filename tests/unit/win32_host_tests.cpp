// The Windows host against fake WebView2 objects. The fakes are assembled from the published
// slot numbers, not from our declarations, so every call made through a declared interface also
// checks that the declaration reaches the published slot.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "callback.h"
#include "host/host.h"
#include "shell.h"
#include "win32.h"

namespace {

using launcher::Callback;
using Entry = void (*)();

std::vector<std::wstring> calls; // every call the fakes received, in order

struct Fake {
    explicit Fake(const Entry* table, const wchar_t* answer = nullptr)
        : vtable(table), text(answer) {}
    Fake(const Fake&) = delete; // a copy would release the handlers it keeps twice
    Fake& operator=(const Fake&) = delete;
    ~Fake() {
        for (auto* handler : kept) handler->Release();
    }

    const Entry* vtable;
    ULONG refs = 1;
    std::vector<int> strays;         // slots called that the fake does not expect
    std::vector<const IID*> answers; // what QueryInterface hands out besides IUnknown
    Fake* child = nullptr;           // get_CoreWebView2
    Fake* settings = nullptr;        // get_Settings
    const wchar_t* text;             // get_Uri / get_Source
    const wchar_t* json = nullptr;   // get_WebMessageAsJson
    HRESULT jsonResult = S_OK;
    std::vector<IUnknown*> kept; // handlers registered with it, one reference each

    template <typename Interface> Interface* as() { return reinterpret_cast<Interface*>(this); }
};

template <int Slot> HRESULT STDMETHODCALLTYPE stray(Fake* self) {
    self->strays.push_back(Slot);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE queryInterface(Fake* self, REFIID iid, void** out) {
    *out = nullptr;
    bool known = IsEqualIID(iid, IID_IUnknown);
    for (const IID* answer : self->answers) known = known || IsEqualIID(iid, *answer);
    if (!known) return E_NOINTERFACE;
    *out = self;
    ++self->refs;
    calls.push_back(L"QueryInterface");
    return S_OK;
}
ULONG STDMETHODCALLTYPE addRef(Fake* self) {
    return ++self->refs;
}
ULONG STDMETHODCALLTYPE release(Fake* self) {
    return --self->refs;
}

// Registration: keep the handler, as WebView2 does.
template <const wchar_t* Name>
HRESULT STDMETHODCALLTYPE keep(Fake* self, IUnknown* handler, EventRegistrationToken* token) {
    handler->AddRef();
    self->kept.push_back(handler);
    token->value = static_cast<INT64>(self->kept.size());
    calls.push_back(Name);
    return S_OK;
}

template <const wchar_t* Name> HRESULT STDMETHODCALLTYPE flag(Fake*, int value) {
    calls.push_back(std::wstring(Name) + L" " + std::to_wstring(value));
    return S_OK;
}

template <const wchar_t* Name> HRESULT STDMETHODCALLTYPE text(Fake*, LPCWSTR value) {
    calls.push_back(std::wstring(Name) + L" " + value);
    return S_OK;
}

LPWSTR taskCopy(const wchar_t* value) {
    if (value == nullptr) return nullptr;
    std::size_t bytes = (wcslen(value) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(copy, value, bytes);
    return copy;
}

constexpr wchar_t Navigate[] = L"Navigate", PostWebMessageAsJson[] = L"PostWebMessageAsJson",
                  add_NavigationStarting[] = L"add_NavigationStarting",
                  add_PermissionRequested[] = L"add_PermissionRequested",
                  add_WebMessageReceived[] = L"add_WebMessageReceived",
                  add_NewWindowRequested[] = L"add_NewWindowRequested",
                  add_SourceChanged[] = L"add_SourceChanged",
                  put_IsStatusBarEnabled[] = L"put_IsStatusBarEnabled",
                  put_AreDevToolsEnabled[] = L"put_AreDevToolsEnabled",
                  put_AreDefaultContextMenusEnabled[] = L"put_AreDefaultContextMenusEnabled",
                  put_Cancel[] = L"put_Cancel", put_Handled[] = L"put_Handled",
                  put_State[] = L"put_State";

// A vtable of the given size: IUnknown in slots 0 to 2, strays elsewhere until set.
template <std::size_t Slots> struct Table {
    std::array<Entry, Slots> entries{};
    Table() { fill(std::make_index_sequence<Slots>{}); }
    template <typename Function> Table& set(int slot, Function function) {
        entries[static_cast<std::size_t>(slot)] = reinterpret_cast<Entry>(function);
        return *this;
    }

  private:
    template <std::size_t... Slot> void fill(std::index_sequence<Slot...>) {
        ((entries[Slot] = reinterpret_cast<Entry>(&stray<int(Slot)>)), ...);
        set(0, &queryInterface).set(1, &addRef).set(2, &release);
    }
};

// The published slots of the methods the launcher calls.
const auto controllerTable =
    Table<26>()
        .set(
            6,
            +[](Fake*, RECT r) -> HRESULT {
                calls.push_back(L"put_Bounds " + std::to_wstring(r.right - r.left) + L"x" +
                                std::to_wstring(r.bottom - r.top));
                return S_OK;
            })
        .set(
            24,
            +[](Fake*) -> HRESULT {
                calls.push_back(L"Close");
                return S_OK;
            })
        .set(
            25, +[](Fake* self, Fake** web) -> HRESULT {
                calls.push_back(L"get_CoreWebView2");
                *web = self->child;
                ++self->child->refs;
                return S_OK;
            });

const auto webTable =
    Table<73>()
        .set(
            3,
            +[](Fake* self, Fake** settings) -> HRESULT {
                calls.push_back(L"get_Settings");
                *settings = self->settings;
                ++self->settings->refs;
                return S_OK;
            })
        .set(
            4,
            +[](Fake* self, LPWSTR* out) -> HRESULT {
                calls.push_back(L"get_Source");
                *out = taskCopy(self->text);
                return S_OK;
            })
        .set(5, &text<Navigate>)
        .set(7, &keep<add_NavigationStarting>)
        .set(11, &keep<add_SourceChanged>)
        .set(23, &keep<add_PermissionRequested>)
        .set(32, &text<PostWebMessageAsJson>)
        .set(34, &keep<add_WebMessageReceived>)
        .set(44, &keep<add_NewWindowRequested>)
        .set(
            71, +[](Fake*, LPCWSTR host, LPCWSTR folder, int access) -> HRESULT {
                calls.push_back(std::wstring(L"SetVirtualHostNameToFolderMapping ") + host + L" " +
                                folder + L" " + std::to_wstring(access));
                return S_OK;
            });

const auto settingsTable = Table<21>()
                               .set(10, &flag<put_IsStatusBarEnabled>)
                               .set(12, &flag<put_AreDevToolsEnabled>)
                               .set(14, &flag<put_AreDefaultContextMenusEnabled>);

const auto environmentTable = Table<8>().set(
    3, +[](Fake* self, HWND, IUnknown* handler) -> HRESULT {
        calls.push_back(L"CreateCoreWebView2Controller");
        handler->AddRef();
        self->kept.push_back(handler);
        return S_OK;
    });

// Event arguments: get_Uri or get_Source in slot 3, get_WebMessageAsJson in slot 4, and the
// answer of each kind in its own slot.
auto argsTable() {
    return Table<11>()
        .set(
            3,
            +[](Fake* self, LPWSTR* out) -> HRESULT {
                *out = taskCopy(self->text);
                return S_OK;
            })
        .set(
            4, +[](Fake* self, LPWSTR* out) -> HRESULT {
                *out = taskCopy(self->json);
                return self->jsonResult;
            });
}
const auto navigationArgs = argsTable().set(8, &flag<put_Cancel>);
const auto windowArgs = argsTable().set(6, &flag<put_Handled>);
const auto permissionArgs = argsTable().set(7, &flag<put_State>);
const auto messageArgs = argsTable();

Fake make(const auto& table, const wchar_t* text = nullptr) {
    return Fake(table.entries.data(), text);
}

std::wstring startText() {
    return launcher::startAddress;
}

// A page with a fake web view that has announced itself, so notices are posted.
class Host : public ::testing::Test {
  protected:
    Fake settings = make(settingsTable);
    Fake web = make(webTable);
    Fake controller = make(controllerTable);

    void SetUp() override {
        calls.clear();
        web.settings = &settings;
        web.answers = {&IID_ICoreWebView2, &IID_ICoreWebView2_2, &IID_ICoreWebView2_3};
        controller.child = &web;
        launcher::ready = true;
        launcher::web = web.as<ICoreWebView2>();
    }
    void TearDown() override {
        launcher::ready = false;
        launcher::web = nullptr;
        launcher::controller = nullptr;
        EXPECT_TRUE(settings.strays.empty() && web.strays.empty() && controller.strays.empty());
    }

    // What reached the page.
    static std::vector<std::wstring> posted() {
        std::vector<std::wstring> out;
        for (const auto& call : calls)
            if (call.starts_with(L"PostWebMessageAsJson ")) out.push_back(call.substr(21));
        return out;
    }

    // Sets the web view up through the controller-completed handler.
    void setUp() {
        ASSERT_EQ(launcher::controllerCompleted(L"C:\\Launcher", S_OK,
                                                controller.as<ICoreWebView2Controller>()),
                  S_OK);
        ASSERT_EQ(web.kept.size(), 5u);
    }
    // Raises an event with the handler that the launcher registered in the given place.
    template <typename Handler, typename Args> HRESULT fire(std::size_t index, Fake& event) {
        return reinterpret_cast<Handler*>(web.kept.at(index))
            ->Invoke(web.as<ICoreWebView2>(), event.as<Args>());
    }
};

// --- Callback ---

using PermissionCallback = Callback<ICoreWebView2PermissionRequestedEventHandler, ICoreWebView2*,
                                    ICoreWebView2PermissionRequestedEventArgs*>;

TEST(Callback, AnswersOnlyItsOwnInterfaceAndIUnknown) {
    auto* handler = PermissionCallback::make([](auto, auto) { return S_OK; });
    struct Case {
        const IID* iid;
        HRESULT result;
    };
    for (auto [iid, result] :
         {Case{&IID_IUnknown, S_OK}, Case{&IID_ICoreWebView2PermissionRequestedEventHandler, S_OK},
          Case{&IID_ICoreWebView2NavigationStartingEventHandler, E_NOINTERFACE},
          Case{&IID_ICoreWebView2, E_NOINTERFACE}}) {
        void* out = &result; // must be overwritten either way
        EXPECT_EQ(handler->QueryInterface(*iid, &out), result);
        if (result == S_OK) {
            EXPECT_EQ(out, static_cast<void*>(handler));
            EXPECT_EQ(handler->Release(), 1u); // the reference QueryInterface added
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(handler->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(handler->AddRef(), 2u);
    EXPECT_EQ(handler->Release(), 1u);
    EXPECT_EQ(handler->Release(), 0u);
}

TEST(Callback, LivesExactlyAsLongAsItsReferences) {
    auto token = std::make_shared<int>(0);
    auto* dropped = PermissionCallback::make([token](auto, auto) { return S_OK; });
    auto* kept = PermissionCallback::make([token](auto, auto) { return S_OK; });
    EXPECT_EQ(token.use_count(), 3);
    dropped->Release(); // the creator's release, nobody else took one: freed at once
    EXPECT_EQ(token.use_count(), 2);

    kept->AddRef(); // WebView2 keeps it, and takes references from several threads at once
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([kept] {
            for (int n = 0; n < 10000; ++n) {
                kept->AddRef();
                kept->Release();
            }
        });
    for (auto& thread : threads) thread.join();
    kept->Release(); // the creator's
    EXPECT_EQ(token.use_count(), 2);
    EXPECT_EQ(kept->Release(), 0u); // WebView2's
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(Host, CallbackTurnsAnExceptionIntoNoticeAndEFail) {
    struct Case {
        std::function<HRESULT(ICoreWebView2*, ICoreWebView2PermissionRequestedEventArgs*)> function;
        std::vector<std::wstring> notices;
    };
    Case cases[] = {
        {[](auto, auto) -> HRESULT { throw std::runtime_error("Disk is full"); },
         {LR"({"kind":"error","message":"Disk is full","type":"notice"})"}},
        {[](auto, auto) -> HRESULT { throw std::runtime_error("bad \xff byte"); },
         {L"{\"kind\":\"error\",\"message\":\"bad \xfffd byte\",\"type\":\"notice\"}"}},
        {nullptr, {LR"({"kind":"error","message":"bad_function_call","type":"notice"})"}},
        {[](auto, auto) -> HRESULT { throw 42; }, {}},
    };
    for (auto& [function, notices] : cases) {
        calls.clear();
        auto* handler = PermissionCallback::make(function);
        EXPECT_EQ(handler->Invoke(nullptr, nullptr), E_FAIL);
        EXPECT_EQ(posted(), notices);
        handler->Release();
    }
    auto* passing = PermissionCallback::make([](auto, auto) { return S_FALSE; });
    EXPECT_EQ(passing->Invoke(nullptr, nullptr), S_FALSE);
    passing->Release();
}

// --- Set-up ---

TEST_F(Host, SetsUpTheWebViewInOrderAndKeepsTheReferencesBalanced) {
    Fake environment = make(environmentTable);
    ASSERT_EQ(launcher::environmentCompleted(L"C:\\Launcher", S_OK,
                                             environment.as<ICoreWebView2Environment>()),
              S_OK);
    ASSERT_EQ(environment.kept.size(), 1u);
    EXPECT_EQ(environment.refs, 1u); // the environment is not kept
    auto* completed = reinterpret_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*>(
        environment.kept[0]);
    ASSERT_EQ(completed->Invoke(S_OK, controller.as<ICoreWebView2Controller>()), S_OK);

    std::vector<std::wstring> expected = {
        L"CreateCoreWebView2Controller",
        L"get_CoreWebView2",
        L"put_Bounds 0x0", // no main window in this test
        L"get_Settings",
        L"put_AreDevToolsEnabled 0",
        L"put_AreDefaultContextMenusEnabled 0",
        L"put_IsStatusBarEnabled 0",
        L"QueryInterface",
        L"SetVirtualHostNameToFolderMapping " VIRTUAL_HOST L" C:\\Launcher\\ui 0",
        L"add_WebMessageReceived",
        L"add_NavigationStarting",
        L"add_NewWindowRequested",
        L"add_PermissionRequested",
        L"add_SourceChanged",
        L"Navigate " + startText(),
    };
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(launcher::controller, controller.as<ICoreWebView2Controller>());
    EXPECT_EQ(launcher::web, web.as<ICoreWebView2>());
    EXPECT_EQ(controller.refs, 2u); // ours and the creator's
    EXPECT_EQ(web.refs, 2u);        // ours; the ICoreWebView2_3 query was released
    EXPECT_EQ(settings.refs, 1u);
    EXPECT_EQ(startText(), L"https://" VIRTUAL_HOST L"/index.html");
}

// --- The rules ---

TEST_F(Host, NavigationIsAllowedOnlyToTheExactStartAddress) {
    setUp();
    const std::wstring start = startText();
    const std::wstring host = L"" VIRTUAL_HOST;
    struct Case {
        std::wstring address;
        bool allowed;
    };
    std::vector<Case> cases = {
        {start, true},
        {L"HTTPS://" + host + L"/index.html", false},
        {L"https://" + host + L"/Index.html", false},
        {L"https://LAUNCHER." + host.substr(host.find(L'.') + 1) + L"/index.html", false},
        {start + L"?tab=news", false},
        {start + L"#top", false},
        {start + L"/", false},
        {L"https://" + host + L"/", false},
        {L"http://" + host + L"/index.html", false},
        {L"https://" + host + L"/other.html", false},
        {L"https://" + host + L".evil.test/index.html", false},
        {L"" GAME_WEBSITE, false},
        {L"", false},
    };
    for (const auto& [address, allowed] : cases) {
        calls.clear();
        Fake event = make(navigationArgs, address.c_str());
        EXPECT_EQ((fire<ICoreWebView2NavigationStartingEventHandler,
                        ICoreWebView2NavigationStartingEventArgs>(1, event)),
                  S_OK);
        EXPECT_EQ(calls, allowed ? std::vector<std::wstring>{}
                                 : std::vector<std::wstring>{L"put_Cancel 1"})
            << address;
        EXPECT_TRUE(event.strays.empty());
    }
    calls.clear();
    Fake missing = make(navigationArgs, nullptr);
    fire<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2NavigationStartingEventArgs>(
        1, missing);
    EXPECT_EQ(calls, std::vector<std::wstring>{L"put_Cancel 1"});
}

TEST_F(Host, NewWindowsAreHandledAndPermissionsDenied) {
    setUp();
    calls.clear();
    Fake window = make(windowArgs, L"https://www.orbel.test/");
    EXPECT_EQ((fire<ICoreWebView2NewWindowRequestedEventHandler,
                    ICoreWebView2NewWindowRequestedEventArgs>(2, window)),
              S_OK);
    Fake permission = make(permissionArgs, launcher::startAddress);
    EXPECT_EQ((fire<ICoreWebView2PermissionRequestedEventHandler,
                    ICoreWebView2PermissionRequestedEventArgs>(3, permission)),
              S_OK);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"put_Handled 1", L"put_State 2"}));
    EXPECT_TRUE(window.strays.empty() && permission.strays.empty()); // no new window supplied
}

TEST_F(Host, AnAddressMovedWithoutNavigationLoadsTheStartPageAgain) {
    // A fragment or the history API moves the address without NavigationStarting.
    setUp();
    const std::wstring start = startText();
    const std::wstring moved[] = {start + L"#moved", L"https://" VIRTUAL_HOST L"/moved.html",
                                  start + L"?moved"};
    Fake event = make(argsTable()); // the arguments only say whether the document is new
    for (const auto& address : moved) {
        calls.clear();
        web.text = address.c_str();
        EXPECT_EQ(
            (fire<ICoreWebView2SourceChangedEventHandler, ICoreWebView2SourceChangedEventArgs>(
                4, event)),
            S_OK);
        EXPECT_EQ(calls, (std::vector<std::wstring>{L"get_Source", L"Navigate " + start}))
            << address;
    }
    for (const wchar_t* address : {start.c_str(), static_cast<const wchar_t*>(nullptr)}) {
        calls.clear();
        web.text = address;
        fire<ICoreWebView2SourceChangedEventHandler, ICoreWebView2SourceChangedEventArgs>(4, event);
        EXPECT_EQ(calls, std::vector<std::wstring>{L"get_Source"});
    }
    web.text = nullptr;
    EXPECT_TRUE(event.strays.empty());
}

TEST(PageMessage, IsAcceptedOnlyFromTheStartPageAndUpTo4095Units) {
    const std::wstring start = launcher::startAddress;
    // Surrogate pairs count as two units each: 2046 pairs, quotes and one letter make 4095.
    std::wstring longest = L"\"";
    for (int i = 0; i < 2046; ++i) longest += L"\xd83d\xde00";
    longest += L"a\"";
    ASSERT_EQ(longest.size(), 4095u);
    std::wstring tooLong = longest;
    tooLong.insert(1, L"b");

    struct Case {
        const wchar_t* source;
        const wchar_t* json;
        HRESULT result;
        bool accepted;
    };
    const std::wstring upper = L"HTTPS" + start.substr(5), query = start + L"?x";
    Case cases[] = {
        {start.c_str(), L"{\"action\":\"ready\"}", S_OK, true},
        {start.c_str(), longest.c_str(), S_OK, true},
        {start.c_str(), tooLong.c_str(), S_OK, false},
        {start.c_str(), nullptr, S_OK, false},
        {start.c_str(), L"{}", E_FAIL, false},
        {upper.c_str(), L"{}", S_OK, false},
        {query.c_str(), L"{}", S_OK, false},
        {nullptr, L"{}", S_OK, false},
    };
    for (const auto& [source, json, result, accepted] : cases) {
        Fake event = make(messageArgs, source);
        event.json = json;
        event.jsonResult = result;
        auto text = launcher::acceptedMessage(event.as<ICoreWebView2WebMessageReceivedEventArgs>());
        ASSERT_EQ(text.has_value(), accepted)
            << (source ? source : L"(null)") << " " << (json ? wcslen(json) : 0);
        if (accepted) {
            EXPECT_EQ(std::wstring(text->begin(), text->end()), json);
        }
    }
}

TEST_F(Host, AnAcceptedMessageThatFailsBecomesANoticeAndARefusedOneLeavesNoTrace) {
    setUp();
    std::wstring tooLong = L"[\"" + std::wstring(4093, L'x') + L"\"]";
    struct Case {
        std::wstring json;
        bool notice;
    };
    for (const auto& [json, notice] :
         {Case{L"[1]", true}, Case{L"{nope", true}, Case{L"{\"action\":\"Ready\"}", false},
          Case{tooLong, false}}) {
        calls.clear();
        Fake event = make(messageArgs, launcher::startAddress);
        event.json = json.c_str();
        EXPECT_EQ((fire<ICoreWebView2WebMessageReceivedEventHandler,
                        ICoreWebView2WebMessageReceivedEventArgs>(0, event)),
                  S_OK);
        auto notices = posted();
        ASSERT_EQ(notices.size(), notice ? 1u : 0u) << json;
        if (notice) {
            EXPECT_TRUE(notices[0].find(L"json.exception") != std::wstring::npos) << notices[0];
        }
    }
}

// --- The main window ---

class Window : public Host {
  protected:
    HWND window = nullptr;

    void SetUp() override {
        Host::SetUp();
        static const ATOM registered = [] {
            WNDCLASSW record{};
            record.lpfnWndProc = launcher::proc;
            record.hInstance = GetModuleHandleW(nullptr);
            record.lpszClassName = L"OrbelLauncherTest";
            return RegisterClassW(&record);
        }();
        ASSERT_NE(registered, 0);
        window =
            CreateWindowExW(0, L"OrbelLauncherTest", L"Orbel Launcher", WS_OVERLAPPEDWINDOW, 0, 0,
                            1440, 960, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window, nullptr);
        launcher::windowHandle = window;
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        drain();
        launcher::windowHandle = nullptr;
        launcher::state["busy"] = false;
        Host::TearDown();
    }
    static bool drain() { // dispatches what is queued; whether the quit message came
        bool quit = false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) quit = true;
            DispatchMessageW(&message);
        }
        return quit;
    }
};

TEST_F(Window, KeepsItsMinimumTrackingSize) {
    MINMAXINFO limits{};
    limits.ptMaxTrackSize = {5000, 4000};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, 1060);
    EXPECT_EQ(limits.ptMinTrackSize.y, 760);
    EXPECT_EQ(limits.ptMaxTrackSize.x, 5000);
}

TEST_F(Window, RefusesToCloseWhileBusyAndClosesOtherwise) {
    drain();
    calls.clear();
    launcher::state["busy"] = true;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(
        posted(),
        std::vector<std::wstring>{
            LR"({"kind":"info","message":"Cancel the download or let installation finish before closing.","type":"notice"})"});

    launcher::state["busy"] = false;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(drain()); // the destroyed window ended the loop
}

TEST_F(Window, KeepsAnExceptionFromTheProcedureForTheEntryPoint) {
    drain();
    launcher::state["busy"] = "yes"; // not a boolean: the JSON library throws
    EXPECT_EQ(SendMessageW(window, WM_CLOSE, 0, 0), 0);
    EXPECT_TRUE(drain());
    EXPECT_THROW(launcher::rethrowFailure(), nlohmann::json::type_error);
    EXPECT_NO_THROW(launcher::rethrowFailure()); // handed over once
}

bool dismissed = false; // the error box was closed by closeBox, as a user would

void CALLBACK closeBox(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    HWND box = FindWindowW(L"#32770", L"Orbel Launcher");
    dismissed = box != nullptr;
    if (box != nullptr) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST_F(Window, TheLoopHandsEveryFailureToTheErrorBoxWhichWaitsForTheUser) {
    drain();
    launcher::state["busy"] = "yes"; // not a boolean: closing throws inside the procedure
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_THROW(launcher::runLoop(), nlohmann::json::type_error);

    // The procedure's quit message is still queued; the box must outlast it.
    dismissed = false;
    SetTimer(nullptr, 0, 4000, closeBox);
    launcher::failureBox(L"Something failed.");
    EXPECT_TRUE(dismissed) << "the box closed by itself";

    // A message sent from another thread runs inside GetMessageW, which then takes the quit
    // message that the failure posted: the failure must still come out of the loop.
    drain();
    std::thread sender([this] { SendMessageW(window, WM_CLOSE, 0, 0); });
    EXPECT_THROW(launcher::runLoop(), nlohmann::json::type_error);
    sender.join();
}

TEST_F(Window, FitsTheWebViewToTheClientAreaAtEverySizeChange) {
    ShowWindow(window, SW_SHOW);
    launcher::controller = controller.as<ICoreWebView2Controller>();
    auto bounds = [this] {
        RECT client{};
        GetClientRect(window, &client);
        return L"put_Bounds " + std::to_wstring(client.right) + L"x" +
               std::to_wstring(client.bottom);
    };
    calls.clear();
    SendMessageW(window, WM_SIZE, SIZE_RESTORED, 0); // the size itself is read from the window
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), bounds());
    EXPECT_NE(calls.back(), L"put_Bounds 0x0");

    ShowWindow(window, SW_MINIMIZE);
    EXPECT_EQ(calls.back(), L"put_Bounds 0x0");
    ShowWindow(window, SW_RESTORE);
    EXPECT_EQ(calls.back(), bounds());
    EXPECT_NE(calls.back(), L"put_Bounds 0x0");
}

TEST_F(Window, HandsPayloadsToTheWindowInOrderAndRefusesThemWithoutIt) {
    drain();
    calls.clear();
    auto activity = launcher::state["activity"].size();
    ASSERT_TRUE(launcher::host::postPayload(new nlohmann::json{{"record", "First"}}));
    ASSERT_TRUE(launcher::host::postPayload(new nlohmann::json{{"notice", "Second"}}));
    EXPECT_EQ(launcher::state["activity"].size(), activity); // nothing handled before the loop runs
    drain();
    EXPECT_EQ(launcher::state["activity"][0]["text"], "First");
    auto notices = posted();
    ASSERT_EQ(notices.size(), 3u); // state, notice, state
    EXPECT_EQ(notices[1], LR"({"kind":"error","message":"Second","type":"notice"})");

    DestroyWindow(window);
    auto payload = std::make_unique<nlohmann::json>(nlohmann::json{{"record", "Lost"}});
    EXPECT_FALSE(launcher::host::postPayload(payload.get()));
}

// --- The single-instance guard ---

// What Wine can show is asked of the real mutex; a mutex denied to this process (one that an
// elevated launcher made) cannot be had here, so its answer is given.
TEST(Guard, OnlyAMutexThisStartMadeIsAFirstLauncher) {
    const std::wstring name = L"Local\\OrbelLauncherTest-" + std::to_wstring(GetCurrentProcessId());
    HANDLE made = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_TRUE(launcher::firstInSession(made, GetLastError()));
    HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_FALSE(launcher::firstInSession(again, GetLastError()));
    CloseHandle(again);
    CloseHandle(made);
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_INVALID_HANDLE}, DWORD{0}})
        EXPECT_FALSE(launcher::firstInSession(nullptr, error)) << error;
}

TEST(Guard, TheFolderLockSharesItsFileWithNobodyAndAFolderWithoutOneIsNotRefused) {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::filesystem::path folder = std::filesystem::path(temp) / L"orbel-lock-test";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(launcher::host::lockFolder(folder));
    EXPECT_FALSE(launcher::host::lockFolder(folder));
    HANDLE other = CreateFileW((folder / launcher::host::lockFile).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(launcher::host::lockFolder(folder / L"missing"));
}

} // namespace
