// The release check and the install job end to end: the real core against the test release
// server, run inside the network test runner, with the test host standing in for the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#ifndef _WIN32
#include "dead_resolver.h"
#endif
#include "installs.h"
#include "launcher_core.h"
#include "shell.h"
#include "testhost.h"

using nlohmann::json;

namespace {

namespace fs = std::filesystem;

const std::string checked = "Library checked. Release information is up to date.";
const std::string unchecked =
    "Couldn\u2019t check the latest release. Your installed game is still available.";
const std::string pleaseWait = "Please wait for the current operation to finish.";
const std::string tooDeep = "The release server sent a document nested too deeply.";

// A health document whose containers nest depth levels deep, the outer object included.
std::string nested(std::size_t depth) {
    return R"({"status":"online","deep":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
}

// A byte every few seconds: a document that would take minutes to arrive.
json trickle(const std::string& name, double delay) {
    return {{name, {{"mode", "trickle"}, {"chunk", 1}, {"delay", delay}}}};
}

std::chrono::steady_clock::duration since(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start;
}

// Waits for fact, up to a minute: the phase a step must reach before the test acts.
[[nodiscard]] bool reached(const std::function<bool()>& fact) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fact()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Forgets the requests and stalls the server saw, so a wait sees only what comes next.
void forgetRequests() {
    fs::remove(release_server::served() / "requests.jsonl");
    fs::remove(release_server::served() / "stalls.jsonl");
}

// What the core itself reports for an install from the server as it is now: the failure text
// and the status line of the last stage reached.
std::pair<std::string, std::string> coreFailure() {
    testhost::Folder scratch;
    std::atomic<bool> flag = false;
    std::string status;
    try {
        zolta_launcher::install(scratch.path, flag, [&](json event) {
            if (event.contains("status")) status = event["status"];
        });
    } catch (const std::exception& e) {
        return {e.what(), status};
    }
    return {"(no failure)", status};
}

struct Jobs : testing::Test {
    testhost::Folder folder;
    fs::path root = installs::servedRoot();

    void SetUp() override {
        testhost::reset(folder.path);
        fs::remove_all(root / "api");
        launcher::ready = true;
    }
    void TearDown() override {
        EXPECT_TRUE(testhost::finish());
        testhost::reset(folder.path);
    }
    fs::path managedExe() const { return launcher::managed / "OrbelZolta.exe"; }
    void serve(const std::string& name, const std::string& text) {
        release_server::write(root / name, text);
    }
    void publish(const std::string& release, bool wrongDigest = false) {
        installs::publish(root, release, installs::entries(installs::game(release)), wrongDigest);
    }
    std::vector<std::string> stages() const {
        std::vector<std::string> seen;
        for (auto message : testhost::messages()) {
            if (message["type"] != "state") continue;
            const std::string stage = message["data"]["stage"];
            if (seen.empty() || seen.back() != stage) seen.push_back(stage);
        }
        return seen;
    }
};

void run(const json& message) {
    launcher::handle(message);
}

} // namespace

TEST_F(Jobs, ReadySendsTheStateThenTheAutomaticCheck) {
    launcher::ready = false;
    serve("api/health", R"({"status":"online","players":12,"rooms":3,"motd":"hi"})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":512})");
    testhost::clock = {21, 30};
    run({{"action", "ready"}});
    EXPECT_TRUE(launcher::working);
    ASSERT_EQ(testhost::wire.size(), 1u);
    EXPECT_EQ(testhost::messages()[0]["type"], "state");
    ASSERT_TRUE(testhost::finish());

    auto messages = testhost::messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], json({{"kind", "checked"}, {"message", checked}, {"type", "notice"}}));
    auto state = messages[2]["data"];
    EXPECT_EQ(state["online"], true);
    EXPECT_EQ(state["players"], 12);
    EXPECT_EQ(state["rooms"], 3);
    EXPECT_EQ(state["latestVersion"], "2.1.0");
    EXPECT_EQ(state["checked"], "21:30");
    EXPECT_FALSE(state.contains("motd"));
    EXPECT_NE(testhost::wire[2].find("\"releaseMB\":512.0"), std::string::npos);
    EXPECT_FALSE(launcher::worker.joinable());
}

TEST_F(Jobs, CheckKeepsWhatItCouldRead) {
    struct Case {
        const char* name;
        std::optional<std::string> health, release;
        json expected; // members of the state afterwards; "notice": the one notice's text
    };
    const json earlier = {
        {"players", 7}, {"rooms", 1}, {"latestVersion", "1.0.0"}, {"releaseMB", 100.0}};
    const std::string release = R"({"version":"2.0.0","windowsMB":80.5})";
    const std::string health = R"({"status":"online","players":4,"rooms":2})";
    const Case cases[] = {
        {"health missing",
         std::nullopt,
         release,
         {{"online", false}, {"players", 7}, {"latestVersion", "2.0.0"}, {"notice", checked}}},
        {"status in another case",
         R"({"status":"Online"})",
         release,
         {{"online", false}, {"players", 0}, {"rooms", 0}}},
        {"status with a blank", R"({"status":"online "})", release, {{"online", false}}},
        {"players not a number",
         R"({"status":"online","players":"many","rooms":5})",
         release,
         {{"online", true}, {"players", 7}, {"rooms", 1}}},
        {"counts cut and clamped",
         R"({"status":"online","players":2.9,"rooms":1e12})",
         release,
         {{"players", 2}, {"rooms", 2147483647}}},
        {"counts as booleans",
         R"({"status":"online","players":true,"rooms":false})",
         release,
         {{"online", true}, {"players", 1}, {"rooms", 0}}},
        {"nested 64 deep", nested(64), release, {{"online", true}, {"players", 0}}},
        {"nested 65 deep", nested(65), release, {{"online", false}, {"players", 7}}},
        {"release nested too deep",
         health,
         R"({"version":"2.0.0","windowsMB":1,"x":)" + std::string(80, '[') + std::string(80, ']') +
             "}",
         {{"latestVersion", "1.0.0"}, {"notice", unchecked}}},
        {"health not an object", R"(["online"])", release, {{"online", false}, {"players", 7}}},
        {"health too large",
         R"({"status":"online","pad":")" + std::string(65536, 'x') + "\"}",
         release,
         {{"online", false}}},
        {"release missing",
         health,
         std::nullopt,
         {{"online", true},
          {"players", 4},
          {"latestVersion", "1.0.0"},
          {"releaseMB", 100.0},
          {"notice", unchecked}}},
        {"version a number",
         health,
         R"({"version":2,"windowsMB":80})",
         {{"latestVersion", "1.0.0"}, {"notice", unchecked}}},
        {"size missing",
         health,
         R"({"version":"2.0.0"})",
         {{"latestVersion", "2.0.0"}, {"releaseMB", 100.0}, {"notice", unchecked}}},
        {"size a boolean",
         health,
         R"({"version":"2.0.0","windowsMB":true})",
         {{"releaseMB", 100.0}, {"notice", unchecked}}},
        {"size an integer",
         health,
         R"({"version":"2.0.0","windowsMB":512})",
         {{"releaseMB", 512.0}, {"notice", checked}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testhost::reset(folder.path);
        launcher::ready = true;
        launcher::state.update(earlier);
        fs::remove_all(root / "api");
        fs::remove_all(root / "downloads");
        if (c.health) serve("api/health", *c.health);
        if (c.release) serve("downloads/releases.json", *c.release);
        run({{"action", "refresh"}});
        ASSERT_TRUE(testhost::finish());
        auto state = testhost::lastState();
        for (const auto& [key, value] : c.expected.items()) {
            if (key == "notice") {
                EXPECT_EQ(testhost::notices(), std::vector<std::string>{value});
                EXPECT_EQ(testhost::kinds(),
                          std::vector<std::string>{value == checked ? "checked" : "error"});
            } else {
                EXPECT_EQ(state[key], value) << key;
            }
        }
        EXPECT_TRUE(state["releaseMB"].is_number_float());
    }
}

TEST_F(Jobs, CheckWithTheServerUnreachable) {
    release_server::faults({{"api/health", "drop"}, {"downloads/releases.json", "drop"}});
    launcher::state["players"] = 7;
    run({{"action", "refresh"}});
    ASSERT_TRUE(testhost::finish());
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{unchecked});
    auto state = testhost::lastState();
    EXPECT_EQ(state["online"], false);
    EXPECT_EQ(state["players"], 7);
    EXPECT_EQ(state["checked"], "09:07");
}

TEST_F(Jobs, CheckGivesUpOnADocumentThatTrickles) {
    serve("api/health", R"({"status":"online","players":4})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    release_server::faults(trickle("downloads/releases.json", 3));
    launcher::state["latestVersion"] = "1.0.0";
    const auto start = std::chrono::steady_clock::now();
    run({{"action", "refresh"}});
    ASSERT_TRUE(testhost::finish());
    EXPECT_GT(since(start), std::chrono::seconds(29));
    EXPECT_LT(since(start), std::chrono::seconds(36));
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{unchecked});
    auto state = testhost::lastState();
    EXPECT_EQ(state["online"], true);
    EXPECT_EQ(state["players"], 4);
    EXPECT_EQ(state["latestVersion"], "1.0.0");
}

TEST_F(Jobs, ClosingStopsARunningCheck) {
    struct Case {
        const char* name;
        json faults;
    };
    // Whatever the server does, the worker ends soon after the flag is set.
    const Case cases[] = {
        {"body trickles", trickle("api/health", 5)},
        {"no answer", {{"api/health", {{"mode", "silent"}, {"seconds", 40}}}}},
        {"head a line a second",
         {{"api/health", {{"mode", "slowheaders"}, {"delay", 1}, {"seconds", 40}}}}},
        {"head a byte a second", {{"api/health", {{"mode", "dribble"}, {"seconds", 40}}}}},
        {"header flood",
         {{"api/health", {{"mode", "flood"}, {"seconds", 40}}},
          {"downloads/releases.json", {{"mode", "flood"}, {"seconds", 40}}}}},
    };
    serve("api/health", nested(40));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        release_server::faults(c.faults);
        forgetRequests();
        run({{"action", "refresh"}});
        // The request is in the server's hands, and a second into its fault.
        ASSERT_TRUE(reached([] { return release_server::requested("api/health"); }));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // What the hosts' shutdown does: set the flag, then wait for the worker.
        const auto start = std::chrono::steady_clock::now();
        launcher::cancelled = true;
        for (int i = 0; i < 300 && testhost::queued() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Within the time shutdown gives a check before it ends the process.
        EXPECT_LT(since(start), std::chrono::seconds(3));
        launcher::worker.join();
        testhost::reset(folder.path);
        launcher::ready = true;
    }
}

#ifndef _WIN32
// After a close the worker ends within 2 s, whatever phase its transfer is in, and no document
// takes longer than its 30 s, whatever the resolver does.
TEST_F(Jobs, ClosingStopsTheCheckInEveryPhase) {
    struct Case {
        const char* name;
        json faults;
        bool deadResolver;
    };
    const Case cases[] = {
        {"body stalls",
         {{"api/health", {{"mode", "stall"}, {"send", 10}, {"seconds", 40}}}},
         false},
        {"name resolution hangs", json::object(), true},
    };
    serve("api/health", nested(40));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<dead_resolver::DeadResolver> resolver;
        if (c.deadResolver) resolver.emplace();
        release_server::faults(c.faults);
        forgetRequests();
        run({{"action", "refresh"}});
        // In the phase: the body stalled, or the lookup sent to a name server that never answers.
        ASSERT_TRUE(reached(
            [&] { return resolver ? resolver->asked() : release_server::stalled("api/health"); }));
        const auto start = std::chrono::steady_clock::now();
        launcher::cancelled = true;
        launcher::worker.join();
        EXPECT_LT(since(start), std::chrono::seconds(4));
        testhost::reset(folder.path);
        launcher::ready = true;
    }
}

TEST_F(Jobs, CheckIsBoundedWhateverTheResolverDoes) {
    dead_resolver::DeadResolver resolver;
    launcher::state["latestVersion"] = "1.0.0";
    const auto start = std::chrono::steady_clock::now();
    run({{"action", "refresh"}});
    ASSERT_TRUE(testhost::finish(std::chrono::seconds(120)));
    EXPECT_LT(since(start), std::chrono::seconds(2 * 30 + 6)); // two documents
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{unchecked});
    EXPECT_EQ(testhost::lastState()["latestVersion"], "1.0.0");
}
#endif

// Closing is refused while an install runs, and told why; otherwise it sets the flag that ends a
// running check.
TEST_F(Jobs, MayCloseOnlyWhenNoInstallRuns) {
    publish("2.1.0");
    const auto archive = "downloads/OrbelZolta-2.1.0-Windows-x64.zip";
    release_server::faults({{archive, {{"mode", "trickle"}, {"chunk", 16384}, {"delay", 0.05}}}});
    run({{"action", "install"}});
    EXPECT_FALSE(launcher::mayClose());
    EXPECT_FALSE(launcher::cancelled);
    EXPECT_EQ(
        testhost::notices(),
        std::vector<std::string>{"Cancel the download or let installation finish before closing."});
    run({{"action", "cancel"}});
    ASSERT_TRUE(testhost::finish());
    EXPECT_TRUE(launcher::mayClose());
    EXPECT_TRUE(launcher::cancelled);
}

// Shutdown's stop: a check that ends at the flag is joined, and nothing else happens.
TEST_F(Jobs, StopWorkerJoinsACheckThatEndsAtTheFlag) {
    launcher::stopWorker(); // no job: nothing to wait for
    EXPECT_TRUE(launcher::cancelled);
    launcher::cancelled = false;
    release_server::faults({{"api/health", {{"mode", "silent"}, {"seconds", 40}}}});
    forgetRequests();
    run({{"action", "refresh"}});
    ASSERT_TRUE(reached([] { return release_server::requested("api/health"); }));
    launcher::stopWorker(); // had the check not stopped, the process would end here
    EXPECT_FALSE(launcher::worker.joinable());
    ASSERT_TRUE(testhost::finish());
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{unchecked});
}

// A check that does not end at the flag is not waited for: the process ends with a code of its
// own, which tells it from a normal shutdown's 0.
TEST_F(Jobs, StopWorkerEndsTheProcessWhenTheCheckDoesNotStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    serve("api/health", R"({"status":"online"})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    EXPECT_EXIT(
        {
            testhost::hold = true; // the check never hands its result over
            run({{"action", "refresh"}});
            launcher::stopWorker();
            std::fprintf(stderr, "stopWorker returned\n");
            std::_Exit(0);
        },
        testing::ExitedWithCode(launcher::exitAbandoned), "");
}

// An install is waited for however long it takes to end, well past a check's 3 s.
TEST_F(Jobs, StopWorkerWaitsForAnInstall) {
    publish("2.1.0");
    testhost::hold = true; // the install cannot report, so cannot end, until released
    run({{"action", "install"}});
    const auto start = std::chrono::steady_clock::now();
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        testhost::hold = false;
    });
    launcher::stopWorker();
    release.join();
    EXPECT_GE(since(start), std::chrono::seconds(5));
    EXPECT_FALSE(launcher::worker.joinable());
    ASSERT_TRUE(testhost::finish());
}

TEST_F(Jobs, EarlierCancelLeavesTheCheckAlone) {
    serve("api/health", R"({"status":"online"})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    launcher::cancelled = true; // what a cancelled install leaves behind
    run({{"action", "refresh"}});
    ASSERT_TRUE(testhost::finish());
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{checked});
    EXPECT_EQ(testhost::lastState()["online"], true);
}

TEST_F(Jobs, SelfTestRefusesDeepOrSlowDocuments) {
    struct Case {
        const char* name;
        std::string health;
        json faults;
        std::string error;
        bool released = false; // the release document was read before the failure
    };
    const Case cases[] = {
        {"nested 12,000 deep", nested(12000), json::object(), tooDeep},
        {"release trickles", R"({"status":"online"})", trickle("downloads/releases.json", 3),
         "Download interrupted. Please try again."},
        {"checksum list trickles", R"({"status":"online"})", trickle("downloads/SHA256SUMS.txt", 5),
         "Download interrupted. Please try again.", true},
    };
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    serve("downloads/SHA256SUMS.txt",
          std::string(64, 'a') + "  OrbelZolta-2.1.0-Windows-x64.zip\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serve("api/health", c.health);
        release_server::faults(c.faults);
        testhost::Folder smoke;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(launcher::smoke(smoke.path), 1);
        EXPECT_LT(since(start), std::chrono::seconds(36));
        const auto file = smoke.path / "launcher-smoke.json";
        EXPECT_LT(fs::file_size(file), 4096u);
        const auto report = json::parse(testhost::read(file));
        EXPECT_EQ(report["ok"], false);
        EXPECT_EQ(report["error"], c.error);
        EXPECT_EQ(report.contains("release"), c.released);
    }
}

TEST_F(Jobs, InstallEndToEnd) {
    publish("2.1.0");
    run({{"action", "install"}});
    run({{"action", "install"}});
    run({{"action", "refresh"}});
    ASSERT_TRUE(testhost::finish());

    EXPECT_EQ(stages(), (std::vector<std::string>{"preparing", "downloading", "verifying",
                                                  "installing", "complete"}));
    bool bytes = false;
    for (auto message : testhost::messages()) {
        bytes = bytes || (message["type"] == "state" && message["data"]["received"] != "");
    }
    EXPECT_TRUE(bytes);
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{pleaseWait});
    auto state = testhost::lastState();
    EXPECT_EQ(state["busy"], false);
    EXPECT_EQ(state["status"], "Ready to play");
    EXPECT_EQ(state["message"], "Zolta is installed. Return to your library to start playing.");
    EXPECT_EQ(state["latestVersion"], "2.1.0");
    EXPECT_EQ(state["installedVersion"], "2.1.0");
    EXPECT_EQ(state["installed"], true);
    EXPECT_EQ(state["updateAvailable"], false);
    EXPECT_EQ(state["progress"], 100);
    ASSERT_EQ(state["activity"].size(), 1u);
    EXPECT_EQ(state["activity"][0]["text"], "Installed Zolta 2.1.0");
    EXPECT_FALSE(state.contains("online")); // the refresh during the install did nothing
    EXPECT_EQ(launcher::game, managedExe());
    testhost::reset(folder.path);
    launcher::readSettings();
    EXPECT_EQ(launcher::game, managedExe());
}

TEST_F(Jobs, InstallWhileTheCheckRunsIsRefused) {
    serve("api/health", R"({"status":"online"})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    release_server::faults({{"api/health", {{"mode", "trickle"}, {"chunk", 4}, {"delay", 0.1}}}});
    run({{"action", "refresh"}});
    run({{"action", "install"}});
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{pleaseWait});
    EXPECT_EQ(launcher::state["busy"], false);
    ASSERT_TRUE(testhost::finish());
    EXPECT_EQ(testhost::notices(), (std::vector<std::string>{pleaseWait, checked}));
}

TEST_F(Jobs, FailedInstallTellsWhyAndKeepsTheRest) {
    publish("2.1.0", true);
    const auto [failure, status] = coreFailure();
    launcher::state["latestVersion"] = "2.0.0";
    run({{"action", "install"}});
    ASSERT_TRUE(testhost::finish());
    auto state = testhost::lastState();
    EXPECT_EQ(state["stage"], "error");
    EXPECT_EQ(state["busy"], false);
    EXPECT_EQ(state["message"], failure);
    EXPECT_EQ(state["status"], status);
    EXPECT_EQ(state["latestVersion"], "2.0.0");
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{failure});
    EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"error"});
    ASSERT_EQ(state["activity"].size(), 1u);
    EXPECT_EQ(state["activity"][0]["text"], failure);
    EXPECT_TRUE(launcher::game.empty());
    EXPECT_FALSE(fs::exists(managedExe()));
}

TEST_F(Jobs, CancelStopsTheDownloadAndTheNextInstallStartsClean) {
    publish("2.1.0");
    const auto archive = "downloads/OrbelZolta-2.1.0-Windows-x64.zip";
    release_server::faults({{archive, {{"mode", "trickle"}, {"chunk", 16384}, {"delay", 0.05}}}});
    run({{"action", "install"}});
    ASSERT_TRUE(testhost::finish(std::chrono::seconds(60), [] {
        if (launcher::state["stage"] == "downloading") run({{"action", "cancel"}});
    }));
    const std::string cancelled = "Download cancelled. Your existing installation is unchanged.";
    EXPECT_EQ(testhost::lastState()["stage"], "error");
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{cancelled});
    EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"info"}); // a cancel informs

    release_server::faults(json::object());
    testhost::wire.clear();
    run({{"action", "install"}});
    auto start = testhost::messages().at(0)["data"];
    EXPECT_EQ(start["stage"], "preparing");
    EXPECT_EQ(start["progress"], 0);
    EXPECT_EQ(start["received"], "");
    EXPECT_EQ(start["total"], "");
    ASSERT_TRUE(testhost::finish());
    EXPECT_EQ(testhost::lastState()["stage"], "complete");
    EXPECT_EQ(testhost::lastState()["activity"].size(), 2u);
}

// Cancel during a stalled read: the read's own time-out must not win, on the page or anywhere.
TEST_F(Jobs, CancelDuringAStalledDownloadIsToldAsACancel) {
    publish("2.1.0");
    const std::string archive = "downloads/OrbelZolta-2.1.0-Windows-x64.zip";
    const auto size = fs::file_size(root / archive);
    release_server::faults({{archive, {{"mode", "stall"}, {"send", size / 2}, {"seconds", 60}}}});
    run({{"action", "install"}});
    std::optional<std::chrono::steady_clock::time_point> asked;
    ASSERT_TRUE(testhost::finish(std::chrono::seconds(60), [&] {
        if (asked || launcher::state["stage"] != "downloading" || launcher::state["received"] == "")
            return;
        std::this_thread::sleep_for(std::chrono::seconds(1)); // well into the stall
        asked = std::chrono::steady_clock::now();
        run({{"action", "cancel"}});
    }));
    ASSERT_TRUE(asked);
    EXPECT_LT(since(*asked), std::chrono::seconds(4));
    const std::string cancelled = "Download cancelled. Your existing installation is unchanged.";
    auto state = testhost::lastState();
    EXPECT_EQ(state["stage"], "error");
    EXPECT_EQ(state["message"], cancelled);
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{cancelled});
    EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"info"});
    ASSERT_EQ(state["activity"].size(), 1u);
    EXPECT_EQ(state["activity"][0]["text"], cancelled);
    EXPECT_FALSE(fs::exists(managedExe()));
}

// The checksum list is a document like the others: "preparing", which offers no Cancel, ends
// within its 30 s.
TEST_F(Jobs, InstallGivesUpOnAChecksumListThatTrickles) {
    publish("2.1.0");
    release_server::faults(trickle("downloads/SHA256SUMS.txt", 5));
    const auto start = std::chrono::steady_clock::now();
    run({{"action", "install"}});
    ASSERT_TRUE(testhost::finish(std::chrono::seconds(120)));
    EXPECT_GT(since(start), std::chrono::seconds(29));
    EXPECT_LT(since(start), std::chrono::seconds(36));
    const std::string interrupted = "Download interrupted. Please try again.";
    auto state = testhost::lastState();
    EXPECT_EQ(state["stage"], "error");
    EXPECT_EQ(state["busy"], false);
    EXPECT_EQ(state["message"], interrupted);
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{interrupted});
    EXPECT_FALSE(fs::exists(managedExe()));
}

// A compressed list or archive is not read as one: the player learns that the server did not
// send the file, not that no release is published or that the download is damaged.
TEST_F(Jobs, InstallRefusesACodingNeverAskedFor) {
    publish("2.1.0");
    const std::string refused = "The release server did not return the requested file.";
    for (const char* name :
         {"downloads/SHA256SUMS.txt", "downloads/OrbelZolta-2.1.0-Windows-x64.zip"}) {
        SCOPED_TRACE(name);
        testhost::reset(folder.path);
        launcher::ready = true;
        release_server::faults({{name, {{"coding", "gzip"}}}});
        run({{"action", "install"}});
        ASSERT_TRUE(testhost::finish());
        auto state = testhost::lastState();
        EXPECT_EQ(state["stage"], "error");
        EXPECT_EQ(state["message"], refused);
        EXPECT_EQ(testhost::notices(), std::vector<std::string>{refused});
        EXPECT_FALSE(fs::exists(managedExe()));
    }
}

// The self-test has no Cancel: an archive that drips ends it by the download's lowest rate,
// with its report. The real minute: the build runs this test on its own, beside the others.
TEST_F(Jobs, SelfTestEndsOnADrippingArchive) {
    publish("2.1.0");
    serve("api/health", R"({"status":"online"})");
    serve("downloads/releases.json", R"({"version":"2.1.0","windowsMB":1})");
    release_server::faults(trickle("downloads/OrbelZolta-2.1.0-Windows-x64.zip", 14));
    testhost::Folder smoke;
    // Without a lowest rate the drip would hold the self-test for hours: the flag ends it then.
    std::atomic<bool> ended = false;
    std::thread watchdog([&] {
        for (int i = 0; i < 1500 && !ended; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        launcher::cancelled = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const int code = launcher::smoke(smoke.path);
    const auto took = since(start);
    ended = true;
    watchdog.join();
    launcher::cancelled = false;
    EXPECT_EQ(code, 1);
    EXPECT_GT(took, std::chrono::seconds(59));
    EXPECT_LT(took, std::chrono::seconds(120));
    const auto report = json::parse(testhost::read(smoke.path / "launcher-smoke.json"));
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(report["error"], "Download interrupted. Please try again.");
    EXPECT_FALSE(report.contains("installedVersion"));
}

// The game is in place, so the install is shown and recorded as done; the settings that could
// not be saved come after it as a notice.
TEST_F(Jobs, SaveFailureInTheSuccessPayload) {
    publish("2.1.0");
    fs::create_directories(folder.path / "settings.json" / "x");
    run({{"action", "install"}});
    ASSERT_TRUE(testhost::finish());
    auto state = testhost::lastState();
    EXPECT_EQ(state["stage"], "complete");
    EXPECT_EQ(state["busy"], false);
    EXPECT_EQ(state["message"], "Zolta is installed. Return to your library to start playing.");
    EXPECT_EQ(state["installed"], true);
    EXPECT_EQ(state["installedVersion"], "2.1.0");
    ASSERT_EQ(state["activity"].size(), 1u);
    EXPECT_EQ(state["activity"][0]["text"], "Installed Zolta 2.1.0");
    EXPECT_EQ(testhost::notices(), std::vector<std::string>{"Cannot save launcher settings"});
    EXPECT_FALSE(launcher::working);
    EXPECT_EQ(launcher::game, managedExe());
    EXPECT_TRUE(zolta_launcher::validGame(managedExe()));
}

TEST_F(Jobs, InstallRefusedWhileTheManagedGameRuns) {
    for (const auto& [name, data] : installs::game("1.0.0")) {
        release_server::write(launcher::managed / name, data);
    }
    auto process = zolta_launcher::launch(managedExe(), u"--sleep=4000");
    for (int i = 0; i < 100 && !zolta_launcher::gameRunning(managedExe()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto before = launcher::state;
    launcher::receive(u"{\"action\":\"install\"}");
    EXPECT_EQ(testhost::notices(),
              std::vector<std::string>{"Close Zolta before installing its update."});
    EXPECT_EQ(testhost::kinds(), std::vector<std::string>{"info"});
    EXPECT_EQ(launcher::state, before);
    EXPECT_FALSE(launcher::working);
    EXPECT_FALSE(launcher::worker.joinable());
    static_cast<void>(zolta_launcher::waitProcess(process, 20000));
    zolta_launcher::closeProcess(process);
}

TEST_F(Jobs, PlayStartsTheGameAndRecordsIt) {
    for (const auto& [name, data] : installs::game("1.0.0")) {
        release_server::write(launcher::managed / name, data);
    }
    release_server::write(launcher::managed / "OrbelZolta.args", "--report=played.txt");
    run({{"action", "play"}});
    auto state = testhost::lastState();
    EXPECT_EQ(state["activity"][0]["text"], "Launched Orbel Zolta");
    EXPECT_TRUE(testhost::notices().empty());
    for (int i = 0; i < 200 && !fs::exists(launcher::managed / "played.txt"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(fs::exists(launcher::managed / "played.txt"));
}
