#include <gtest/gtest.h>

#include "errors.h"

#include <optional>

#include "launcher_core.h"
#include "shell.h"
#include "testhost.h"

using nlohmann::json;
using testhost::layGame;
using testhost::write;

namespace {

namespace fs = std::filesystem;

// Line break as the platform's text mode stores it.
const std::string eol = fs::path::preferred_separator == '\\' ? "\r\n" : "\n";

struct Shell : testing::Test {
    testhost::Folder folder;
    fs::path managedExe() const { return launcher::managed / "OrbelZolta.exe"; }
    void SetUp() override { testhost::reset(folder.path); }
    void TearDown() override { testhost::reset(folder.path); }
    void open() {
        launcher::ready = true;
        testhost::wire.clear();
    }
};

} // namespace

// --- State document, detection, activity list ---

TEST_F(Shell, StartsWithTheSevenInitialKeys) {
    EXPECT_EQ(launcher::state, json::parse(R"({"activity":[],"autoCheck":true,"busy":false,
        "installed":false,"managedInstalled":false,"platform":"Windows","stage":"idle"})"));
}

TEST_F(Shell, DetectChoosesTheGameInUse) {
    struct Case {
        const char* name;
        bool linked, linkedComplete, managedComplete;
        bool expectLinked, expectManaged;
    };
    const Case cases[] = {
        {"nothing anywhere", false, false, false, false, false},
        {"managed copy only", false, false, true, false, true},
        {"linked and managed: linked stays", true, true, true, true, false},
        {"linked gone: managed takes over", true, false, true, false, true},
        {"linked gone, no managed copy", true, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testhost::reset(folder.path);
        fs::remove_all(folder.path / "Games");
        fs::remove_all(folder.path / "Linked");
        launcher::state["latestVersion"] = "9.9.9";
        if (c.managedComplete) layGame(launcher::managed);
        fs::path linked = folder.path / "Linked" / "OrbelZolta.exe";
        if (c.linkedComplete) layGame(linked.parent_path());
        if (c.linked) launcher::game = linked;
        launcher::detect();
        fs::path expected = c.expectLinked ? linked : c.expectManaged ? managedExe() : fs::path{};
        EXPECT_EQ(launcher::game, expected);
        auto& s = launcher::state;
        EXPECT_EQ(s["installed"], !expected.empty());
        EXPECT_EQ(s["path"], launcher::utf8(expected));
        EXPECT_EQ(s["managedInstalled"], c.managedComplete);
        EXPECT_EQ(s["managedPath"], launcher::utf8(folder.path / "Games"));
        EXPECT_EQ(s["installedVersion"], expected.empty() ? "" : "Unknown");
        EXPECT_EQ(s["updateAvailable"], false);
    }
}

TEST_F(Shell, DetectReadsTheReleaseMarker) {
    struct Case {
        std::optional<std::string> marker, latest;
        const char* installedVersion;
        bool update;
    };
    const Case cases[] = {
        {std::nullopt, "2.0.0", "Unknown", false},
        {"not json", "2.0.0", "Unknown", false},
        {R"({"version":123})", "2.0.0", "Unknown", false},
        {R"(["1.0.0"])", "2.0.0", "Unknown", false},
        {R"({"sha256":"x"})", "2.0.0", "Unknown", false},
        {R"({"version":"1.2.3"})", std::nullopt, "1.2.3", false},
        {R"({"version":"1.2.3"})", "1.2.3", "1.2.3", false},
        {R"({"version":"1.2.3-beta"})", "1.2.3", "1.2.3-beta", false},
        {R"({"version":"1.9.0"})", "1.10.0", "1.9.0", true},
        {R"({"version":"1.10.0"})", "1.9.0", "1.10.0", false},
        {R"({"version":"nightly"})", "0.0.1", "nightly", true},
    };
    layGame(launcher::managed);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker.value_or("(no marker)") + " / " + c.latest.value_or("(none)"));
        fs::remove(launcher::managed / "launcher-release.json");
        if (c.marker) write(launcher::managed / "launcher-release.json", *c.marker);
        launcher::state.erase("latestVersion");
        if (c.latest) launcher::state["latestVersion"] = *c.latest;
        launcher::detect();
        EXPECT_EQ(launcher::state["installedVersion"], c.installedVersion);
        EXPECT_EQ(launcher::state["updateAvailable"], c.update);
    }
}

TEST_F(Shell, ActivityKeepsTheNewestEight) {
    for (int i = 1; i <= 9; ++i) {
        testhost::clock = {unsigned(i), 5};
        launcher::record("entry " + std::to_string(i));
    }
    const auto& activity = launcher::state["activity"];
    ASSERT_EQ(activity.size(), 8u);
    EXPECT_EQ(activity[0], json({{"text", "entry 9"}, {"time", "09:05"}}));
    EXPECT_EQ(activity[7], json({{"text", "entry 2"}, {"time", "02:05"}}));
}

TEST_F(Shell, StampIsHourAndMinute) {
    const std::pair<launcher::host::LocalTime, std::u16string> cases[] = {
        {{9, 7}, u"09:07"}, {{0, 0}, u"00:00"}, {{21, 30}, u"21:30"}, {{23, 59}, u"23:59"}};
    for (const auto& [time, text] : cases) {
        testhost::clock = time;
        EXPECT_EQ(launcher::stamp(), text);
    }
}

// --- Settings file ---

TEST_F(Shell, SaveWritesIndentedSortedText) {
    launcher::save();
    EXPECT_EQ(testhost::read(folder.path / "settings.json"),
              "{" + eol + R"(  "autoCheck": true,)" + eol + R"(  "gamePath": "")" + eol + "}");
}

TEST_F(Shell, SettingsSurviveARestart) {
    write(folder.path / "settings.json", R"({"autoCheck":true,"extra":1})");
    const fs::path chosen = folder.path / u8"Spiele \"Zoltá\"" / "OrbelZolta.exe";
    launcher::game = chosen;
    launcher::state["autoCheck"] = false;
    launcher::save();
    const auto text = testhost::read(folder.path / "settings.json");
    EXPECT_NE(text.find("Zoltá"), std::string::npos) << text; // raw UTF-8, not \u escapes
    EXPECT_EQ(text.find("extra"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder.path / "settings.new"));

    testhost::reset(folder.path);
    launcher::readSettings();
    EXPECT_EQ(launcher::game, chosen);
    EXPECT_EQ(launcher::state["autoCheck"], false);
}

TEST_F(Shell, ReadingSettingsKeepsWhatItCouldRead) {
    struct Case {
        std::optional<std::string> file;
        bool gameRead;  // game replaced by the file's "gamePath" (empty when absent)
        bool autoCheck; // the state's "autoCheck" afterwards; it starts true
        const char* gamePath;
    };
    const Case cases[] = {
        {std::nullopt, false, true, ""},
        {"", false, true, ""},
        {"{\"gamePath\":", false, true, ""},
        {R"([{"gamePath":"a.exe"}])", false, true, ""},
        {R"("text")", false, true, ""},
        {R"({"gamePath":5,"autoCheck":false})", false, true, ""},
        {R"({"gamePath":null,"autoCheck":false})", false, true, ""},
        {R"({"gamePath":"a.exe","autoCheck":"false"})", true, true, "a.exe"},
        {R"({"gamePath":"a.exe","autoCheck":0})", true, true, "a.exe"},
        {R"({"gamePath":"a.exe","autoCheck":null})", true, true, "a.exe"},
        {R"({})", true, true, ""},
        {R"({"autoCheck":false /* no comments */})", false, true, ""},
        {R"({"gamePath":"a.exe","autoCheck":false,"other":[1]})", true, false, "a.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.value_or("(no file)"));
        testhost::reset(folder.path);
        fs::remove(folder.path / "settings.json");
        if (c.file) write(folder.path / "settings.json", *c.file);
        launcher::game = "before.exe";
        launcher::readSettings();
        EXPECT_EQ(launcher::game, c.gameRead ? fs::path(c.gamePath) : fs::path("before.exe"));
        EXPECT_EQ(launcher::state["autoCheck"], c.autoCheck);
    }
}

TEST_F(Shell, SaveFailureLeavesTheOldFile) {
    struct Case {
        const char* name;
        void (*breakIt)(const fs::path& support);
        bool oldFileStays;
    };
    const Case cases[] = {
        {"temporary file cannot be written",
         [](const fs::path& s) { fs::create_directories(s / "settings.new" / "x"); }, true},
        {"settings file is a folder",
         [](const fs::path& s) {
             fs::remove(s / "settings.json");
             fs::create_directories(s / "settings.json" / "x");
         },
         false},
        {"data folder is missing", [](const fs::path& s) { fs::remove_all(s); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder.path);
        fs::create_directories(folder.path);
        const std::string old = R"({"autoCheck":false,"gamePath":"old.exe"})";
        write(folder.path / "settings.json", old);
        c.breakIt(folder.path);
        EXPECT_EQ(errorText(launcher::save), "Cannot save launcher settings");
        if (c.oldFileStays) {
            EXPECT_EQ(testhost::read(folder.path / "settings.json"), old);
        }
    }
}

// --- Messages to the page ---

TEST_F(Shell, NothingReachesThePageBeforeItIsReady) {
    const std::pair<bool, bool> closed[] = {{false, false}, {true, false}, {false, true}};
    for (const auto& [page, ready] : closed) {
        testhost::page = page;
        launcher::ready = ready;
        launcher::emit();
        launcher::notice("dropped", launcher::Notice::info);
    }
    EXPECT_TRUE(testhost::wire.empty());
    testhost::page = true;
    launcher::ready = true;
    launcher::notice("kept", launcher::Notice::info);
    launcher::emit();
    launcher::emit();
    ASSERT_EQ(testhost::wire.size(), 3u);
    EXPECT_EQ(testhost::wire[0], R"({"kind":"info","message":"kept","type":"notice"})");
    EXPECT_EQ(testhost::wire[1], testhost::wire[2]);
}

TEST_F(Shell, WireTextIsCompactSortedAndEscaped) {
    open();
    // The kind, an added member, sorts before the two a notice has always had.
    const std::tuple<std::string, launcher::Notice, std::string> notices[] = {
        {"", launcher::Notice::info, R"({"kind":"info","message":"","type":"notice"})"},
        {"say \"hi\"\\\n", launcher::Notice::error,
         R"({"kind":"error","message":"say \"hi\"\\\n","type":"notice"})"},
        {"Zoltá \u2028</script>", launcher::Notice::checked,
         R"({"kind":"checked","message":"Zoltá )"
         "\u2028"
         R"(</script>","type":"notice"})"},
    };
    for (const auto& [text, kind, expected] : notices) {
        testhost::wire.clear();
        launcher::notice(text, kind);
        ASSERT_EQ(testhost::wire.size(), 1u);
        EXPECT_EQ(testhost::wire[0], expected);
    }
    testhost::wire.clear();
    launcher::state = {{"b", 1}, {"a", {{"d", 2}, {"c", 3.5}}}};
    launcher::emit();
    EXPECT_EQ(testhost::wire.at(0), R"({"data":{"a":{"c":3.5,"d":2},"b":1},"type":"state"})");
}

TEST_F(Shell, IllFormedTextIsRefusedNotPosted) {
    open();
    try {
        launcher::notice("bad \xff byte", launcher::Notice::error);
        FAIL() << "no error";
    } catch (const json::type_error& e) {
        EXPECT_EQ(e.id, 316);
    }
    EXPECT_TRUE(testhost::wire.empty());
    EXPECT_EQ(launcher::clean("bad \xff byte"), "bad \uFFFD byte");
}

// --- Worker hand-off ---

TEST_F(Shell, PayloadsArriveInOrderAndRefusedOnesAreFreed) {
    open();
    launcher::post({{"n", 1}});
    launcher::post({{"n", 2}});
    testhost::refuse = true;
    launcher::post({{"n", 3}, {"big", std::string(1 << 16, 'x')}}); // leak checkers see a leak
    EXPECT_EQ(testhost::queued(), 2u);
    testhost::runQueue();
    EXPECT_EQ(launcher::state["n"], 2);
    ASSERT_EQ(testhost::wire.size(), 2u);
    EXPECT_EQ(testhost::messages()[0]["data"]["n"], 1);
}

TEST_F(Shell, PayloadControlKeys) {
    open();
    launcher::working = true;
    launcher::state["stage"] = "downloading";
    launcher::state["status"] = "Downloading Orbel Zolta";

    launcher::handlePayload(new json{{"finished", false}, {"installedNow", false}});
    EXPECT_TRUE(launcher::working);
    EXPECT_EQ(launcher::state["finished"], false);
    EXPECT_EQ(launcher::state["installedNow"], false);
    EXPECT_TRUE(launcher::game.empty());

    launcher::handlePayload(new json{{"progress", 12.5}, {"received", "1.0"}, {"total", "8.0"}});
    EXPECT_EQ(launcher::state["progress"], 12.5);
    EXPECT_EQ(launcher::state["stage"], "downloading");
    EXPECT_EQ(launcher::state["status"], "Downloading Orbel Zolta");

    testhost::wire.clear();
    const auto before = launcher::state;
    launcher::handlePayload(new json{{"notice", "hello"}});
    EXPECT_EQ(launcher::state, before);
    ASSERT_EQ(testhost::wire.size(), 2u);
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{"hello"});
    EXPECT_EQ(testhost::messages()[1]["type"], "state");

    // A payload's notice has the kind it names; none, or one the reader does not know, is an
    // error. The kind stays out of the state document.
    const std::pair<json, std::string> kinds[] = {
        {{{"notice", "a"}}, "error"},
        {{{"notice", "b"}, {"noticeKind", "info"}}, "info"},
        {{{"notice", "c"}, {"noticeKind", "checked"}}, "checked"},
        {{{"notice", "d"}, {"noticeKind", "warning"}}, "error"},
    };
    for (const auto& [payload, kind] : kinds) {
        testhost::wire.clear();
        launcher::handlePayload(new json(payload));
        EXPECT_EQ(testhost::kinds(), std::vector<std::string>{kind}) << payload;
        EXPECT_FALSE(launcher::state.contains("noticeKind"));
    }

    launcher::worker = std::thread([] {});
    launcher::handlePayload(new json{{"finished", true}});
    EXPECT_FALSE(launcher::working);
    EXPECT_FALSE(launcher::worker.joinable());
    EXPECT_FALSE(launcher::state.contains("notice"));
}

// Settings that cannot be saved do not undo an install that is done: the success is shown and
// recorded first, then the failure comes as a notice.
TEST_F(Shell, InstallSuccessPayloadSelectsAndSavesTheManagedGame) {
    for (bool saves : {true, false}) {
        SCOPED_TRACE(saves ? "settings saved" : "settings cannot be saved");
        testhost::reset(folder.path);
        open();
        layGame(launcher::managed);
        write(launcher::managed / "launcher-release.json", R"({"version":"2.1.0"})");
        if (!saves) {
            fs::remove(folder.path / "settings.json");
            fs::create_directories(folder.path / "settings.json" / "x");
        }
        launcher::working = true;
        launcher::state["busy"] = true;
        launcher::worker = std::thread([] {});
        launcher::handlePayload(new json{{"finished", true},
                                         {"installedNow", true},
                                         {"record", "Installed Zolta 2.1.0"},
                                         {"busy", false},
                                         {"stage", "complete"},
                                         {"latestVersion", "2.1.0"}});
        EXPECT_FALSE(launcher::working);
        EXPECT_FALSE(launcher::worker.joinable());
        EXPECT_EQ(launcher::game, managedExe());
        auto state = testhost::lastState();
        EXPECT_EQ(state["installed"], true);
        EXPECT_EQ(state["installedVersion"], "2.1.0");
        EXPECT_EQ(state["updateAvailable"], false);
        EXPECT_EQ(state["activity"][0]["text"], "Installed Zolta 2.1.0");
        EXPECT_EQ(state["stage"], "complete");
        EXPECT_EQ(state["busy"], false);
        EXPECT_FALSE(state.contains("installedNow"));
        const auto messages = testhost::messages();
        ASSERT_FALSE(messages.empty());
        if (saves) {
            EXPECT_TRUE(testhost::notices().empty());
            EXPECT_EQ(messages.back()["type"], "state");
            testhost::reset(folder.path);
            launcher::readSettings();
            EXPECT_EQ(launcher::game, managedExe());
        } else {
            EXPECT_EQ(testhost::notices(),
                      std::vector<std::string>{"Cannot save launcher settings"});
            EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"error"});
            EXPECT_EQ(messages.back()["type"], "notice");
            fs::remove_all(folder.path / "settings.json");
        }
    }
}

TEST_F(Shell, FailingPayloadsShowAnErrorStage) {
    struct Case {
        const char* name;
        json payload;
        bool workingAfter;
        const char* message; // empty: any text
    };
    const Case cases[] = {
        {"record not a string", {{"finished", true}, {"record", 5}, {"busy", true}}, false, ""},
        {"notice not a string", {{"notice", false}}, true, ""},
        {"not an object", json::array({1, 2}), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testhost::reset(folder.path);
        open();
        fs::create_directories(folder.path / "settings.json" / "x");
        launcher::working = true;
        launcher::state["busy"] = true;
        launcher::handlePayload(new json(c.payload));
        EXPECT_EQ(launcher::working, c.workingAfter);
        auto messages = testhost::messages();
        ASSERT_EQ(messages.size(), 2u);
        auto state = messages[0]["data"];
        EXPECT_EQ(state["busy"], false);
        EXPECT_EQ(state["stage"], "error");
        EXPECT_EQ(state["activity"], json::array());
        EXPECT_EQ(messages[1]["type"], "notice");
        EXPECT_EQ(messages[1]["kind"], "error");
        EXPECT_EQ(messages[1]["message"], state["message"]);
        if (*c.message) {
            EXPECT_EQ(state["message"], c.message);
        }
        fs::remove_all(folder.path / "settings.json");
    }
}

TEST_F(Shell, IllFormedTextInAPayloadIsRepaired) {
    open();
    const std::string bad = "Install failed \xc3";
    launcher::handlePayload(new json{{"record", bad}, {"notice", bad}, {"message", bad}});
    const std::string repaired = "Install failed \uFFFD";
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{repaired});
    EXPECT_EQ(testhost::lastState()["message"], repaired);
    EXPECT_EQ(testhost::lastState()["activity"][0]["text"], repaired);
    testhost::wire.clear();
    launcher::emit();
    EXPECT_EQ(testhost::wire.size(), 1u);
}

// --- Page actions ---

TEST_F(Shell, UnknownOrMalformedMessages) {
    open();
    for (const char16_t* ignored : {u"{\"action\":\"Ready\"}", u"{\"action\":\"READY\"}",
                                    u"{\"action\":\"showfiles\"}", u"{}", u"{\"action\":\"\"}"}) {
        launcher::receive(ignored);
    }
    EXPECT_TRUE(testhost::wire.empty());
    for (const char16_t* failing :
         {u"[1]", u"{\"action\":5}", u"{\"action\":\"autoCheck\",\"enabled\":\"no\"}", u"not json",
          u"tru\u20ac", u"{\"action\":\"ready\"} // comment"}) {
        testhost::wire.clear();
        launcher::receive(failing);
        ASSERT_EQ(testhost::notices().size(), 1u);
        EXPECT_FALSE(testhost::notices()[0].empty());
        EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"error"});
    }
    EXPECT_EQ(launcher::state["autoCheck"], true);
}

TEST_F(Shell, ReadySendsTheFreshStateFirst) {
    layGame(launcher::managed);
    launcher::state["autoCheck"] = false;
    launcher::notice("before the page is ready", launcher::Notice::info);
    launcher::handle({{"action", "ready"}});
    launcher::handle({{"action", "ready"}});
    EXPECT_TRUE(launcher::ready);
    EXPECT_FALSE(launcher::working);
    auto messages = testhost::messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], messages[1]);
    EXPECT_EQ(messages[0]["type"], "state");
    EXPECT_EQ(messages[0]["data"]["installed"], true);
}

TEST_F(Shell, ActionGuards) {
    struct Case {
        const char* action;
        bool working, busy;
        const char* stage;
        std::vector<std::string> notices;
        bool cancelled;
    };
    const std::string wait = "Please wait for the current operation to finish.";
    const Case cases[] = {
        {"refresh", true, false, "idle", {}, false},
        {"install", true, false, "idle", {wait}, false},
        {"install", true, true, "downloading", {wait}, false},
        {"cancel", false, false, "idle", {}, false},
        {"cancel", true, true, "preparing", {}, false},
        {"cancel", true, true, "verifying", {}, false},
        {"cancel", true, true, "installing", {}, false},
        {"cancel", true, true, "downloading", {}, true},
        {"play", true, true, "downloading", {}, false},
        {"locate", true, true, "installing", {}, false},
    };
    layGame(launcher::managed);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " in " + c.stage);
        testhost::reset(folder.path);
        open();
        launcher::working = c.working;
        launcher::state["busy"] = c.busy;
        launcher::state["stage"] = c.stage;
        testhost::picks.push_back(managedExe());
        const auto before = launcher::state;
        launcher::handle({{"action", c.action}});
        EXPECT_EQ(testhost::notices(), c.notices);
        EXPECT_EQ(testhost::kinds(), std::vector<std::string>(c.notices.size(), "info"));
        EXPECT_EQ(testhost::wire.size(), c.notices.size());
        EXPECT_EQ(launcher::cancelled, c.cancelled);
        EXPECT_EQ(launcher::working, c.working);
        EXPECT_EQ(launcher::state, before);
        EXPECT_EQ(testhost::dialogs, 0);
        EXPECT_FALSE(launcher::worker.joinable());
    }
}

TEST_F(Shell, PlayAndShowFilesWithoutAGame) {
    open();
    launcher::game = folder.path / "gone" / "OrbelZolta.exe";
    launcher::handle({{"action", "play"}});
    auto messages = testhost::messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["message"], "Choose Install to add Zolta to your library.");
    EXPECT_EQ(messages[0]["kind"], "info");
    EXPECT_EQ(messages[1]["data"]["installed"], false);
    EXPECT_TRUE(launcher::game.empty());

    testhost::wire.clear();
    launcher::handle({{"action", "showFiles"}});
    EXPECT_EQ(testhost::wire,
              std::vector<std::string>{R"({"kind":"info","message":"No game installed yet. )"
                                       R"(Choose Install or Locate game.","type":"notice"})"});
    EXPECT_TRUE(testhost::opened.empty());
}

TEST_F(Shell, ShowFilesAndWebsiteOpenWithTheDesktop) {
    open();
    layGame(launcher::managed);
    launcher::handle({{"action", "showFiles"}});
    launcher::handle({{"action", "website"}});
    ASSERT_EQ(testhost::opened.size(), 2u);
    EXPECT_EQ(fs::path(testhost::opened[0]), launcher::managed);
    EXPECT_EQ(testhost::opened[1], zolta_launcher::wide(GAME_WEBSITE));
    EXPECT_TRUE(testhost::wire.empty());
}

TEST_F(Shell, AutoCheckIsSavedAtOnce) {
    open();
    const std::pair<json, bool> cases[] = {
        {{{"action", "autoCheck"}, {"enabled", false}}, false},
        {{{"action", "autoCheck"}}, true},
    };
    for (const auto& [message, expected] : cases) {
        testhost::wire.clear();
        launcher::handle(message);
        EXPECT_EQ(testhost::lastState()["autoCheck"], expected);
        EXPECT_EQ(json::parse(testhost::read(folder.path / "settings.json"))["autoCheck"],
                  expected);
    }
    fs::remove(folder.path / "settings.json");
    fs::create_directories(folder.path / "settings.json" / "x");
    testhost::wire.clear();
    launcher::receive(u"{\"action\":\"autoCheck\",\"enabled\":false}");
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{"Cannot save launcher settings"});
    EXPECT_EQ(testhost::wire.size(), 1u);
    EXPECT_EQ(launcher::state["autoCheck"], false);
}

TEST_F(Shell, LocateLinksOnlyACompleteGame) {
    const std::string refused = "Choose OrbelZolta.exe beside its complete assets folder.";
    struct Case {
        const char* name;
        std::optional<std::string> pick; // file name in a folder of its own; none = cancelled
        bool complete, saveFails, linked;
        std::vector<std::string> notices;
    };
    const Case cases[] = {
        {"name in another case", "orbelzolta.EXE", true, false, true, {}},
        {"another name", "Zolta.exe", true, false, false, {refused}},
        {"name with a suffix", "OrbelZolta.exe.bak", true, false, false, {refused}},
        {"incomplete game", "OrbelZolta.exe", false, false, false, {refused}},
        {"dialog cancelled", std::nullopt, true, false, false, {}},
        {"settings cannot be saved",
         "OrbelZolta.exe",
         true,
         true,
         true,
         {"Cannot save launcher settings"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testhost::reset(folder.path);
        open();
        fs::remove_all(folder.path / "settings.json");
        if (c.saveFails) fs::create_directories(folder.path / "settings.json" / "x");
        const fs::path linked = folder.path / c.name / c.pick.value_or("none");
        if (c.pick) {
            layGame(linked.parent_path(), *c.pick);
            if (!c.complete) fs::remove(linked.parent_path() / "assets/runtime/scene.json");
            testhost::picks.push_back(linked);
        }
        launcher::receive(u"{\"action\":\"locate\"}");
        EXPECT_EQ(testhost::dialogs, 1);
        EXPECT_EQ(testhost::notices(), c.notices);
        EXPECT_EQ(launcher::game, c.linked ? linked : fs::path{});
        const bool done = c.linked && !c.saveFails;
        EXPECT_EQ(launcher::state["activity"].size(), done ? 1u : 0u);
        EXPECT_EQ(testhost::wire.size(), done ? 1u : c.notices.size());
        if (done) {
            EXPECT_EQ(testhost::lastState()["path"], launcher::utf8(linked));
            EXPECT_EQ(testhost::lastState()["activity"][0]["text"],
                      "Linked an existing Zolta installation");
            testhost::reset(folder.path);
            launcher::readSettings();
            EXPECT_EQ(launcher::game, linked);
        }
    }
}
