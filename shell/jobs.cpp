#include "shell.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "download.h"
#include "host/host.h"
#include "launcher_core.h"

namespace launcher {

namespace {

namespace zl = zolta_launcher;

// A server document nests no deeper than this.
constexpr int documentDepth = 64;

// A failure once Cancel was pressed is the cancel, which informs.
void postFailure(const std::string& text) {
    try {
        post({{"finished", true},
              {"notice", text},
              {"noticeKind", cancelled.load() ? Notice::info : Notice::error},
              {"record", text},
              {"busy", false},
              {"stage", "error"},
              {"message", text}});
    } catch (...) {
        // Nothing is left to tell the window with; the thread must still end normally.
    }
}

void installJob() {
    try {
        auto release =
            zl::install(support, cancelled, [](nlohmann::json event) { post(std::move(event)); });
        post({{"finished", true},
              {"installedNow", true},
              {"record", "Installed Zolta " + release.versionText},
              {"busy", false},
              {"stage", "complete"},
              {"status", "Ready to play"},
              {"message", "Zolta is installed. Return to your library to start playing."},
              {"latestVersion", release.versionText}});
    } catch (const std::exception& e) {
        postFailure(clean(e.what()));
    } catch (...) {
        postFailure("Installation failed.");
    }
}

// A health count as a 32-bit signed number: fractions cut toward zero, larger values clamped,
// true and false as 1 and 0.
std::int32_t count(const nlohmann::json& health, const char* key) {
    if (!health.contains(key)) return 0;
    const auto& read = health.at(key);
    if (read.is_boolean()) return read.get<bool>() ? 1 : 0;
    double value = std::trunc(read.get<double>());
    value = std::clamp(value, double{std::numeric_limits<std::int32_t>::min()},
                       double{std::numeric_limits<std::int32_t>::max()});
    return static_cast<std::int32_t>(value);
}

void checkJob() {
    try {
        nlohmann::json result = {{"online", false}, {"checked", zl::narrow(stamp())}};
        try {
            const auto health = document(u"api/health");
            result["online"] = health.value("status", std::string{}) == "online";
            result["players"] = count(health, "players");
            result["rooms"] = count(health, "rooms");
        } catch (...) {
        }
        try {
            const auto release = document(u"downloads/releases.json");
            result["latestVersion"] = release.at("version").get<std::string>();
            const auto& size = release.at("windowsMB");
            zl::require(size.is_number(), "windowsMB is not a number");
            result["releaseMB"] = size.get<double>();
            result["notice"] = "Library checked. Release information is up to date.";
            result["noticeKind"] = Notice::checked;
        } catch (...) {
            result["notice"] =
                "Couldn\u2019t check the latest release. Your installed game is still "
                "available.";
            result["noticeKind"] = Notice::error;
        }
        result["finished"] = true;
        post(std::move(result));
    } catch (...) {
        // Only a memory shortage gets here; the thread must still end normally.
    }
}

// A release check that the cancel flag has not ended by then is not waited for at shutdown.
constexpr auto checkStop = std::chrono::seconds(3);

void (*running)() = nullptr;      // the job the worker thread runs; user-interface thread
std::atomic<bool> jobEnded{true}; // the worker thread has returned from its job

// Starts job on the worker thread; a thread that cannot be started leaves no job behind.
void start(void (*job)()) {
    try {
        if (worker.joinable()) worker.join();
        jobEnded = false;
        running = job;
        worker = std::thread([job] {
            job();
            jobEnded = true;
        });
    } catch (...) {
        jobEnded = true;
        working = false;
        throw;
    }
}

} // namespace

nlohmann::json document(const std::u16string& name) {
    // Checked here too: the request itself is sent whatever the flag says.
    zl::require(!cancelled.load(), zl::sentences::cancelled);
    const std::string text = zl::fetch(name, {}, &cancelled, {}, zl::documentTime);
    // The parse itself does not recurse, but copying, comparing and writing the value do: a
    // deeply nested document would overflow the stack there.
    const auto shallow = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        zl::require(!opens || depth < documentDepth,
                    "The release server sent a document nested too deeply.");
        return true;
    };
    return nlohmann::json::parse(text, shallow, true, false);
}

void startInstall() {
    if (working) {
        notice("Please wait for the current operation to finish.", Notice::info);
        return;
    }
    if (zl::gameRunning(managed / "OrbelZolta.exe")) {
        notice("Close Zolta before installing its update.", Notice::info);
        return;
    }
    // Every failure from here on puts the document back as it was, so the page never shows an
    // install that is not running.
    const auto before = state;
    working = true;
    cancelled.exchange(false);
    try {
        state.update(nlohmann::json{{"busy", true},
                                    {"stage", "preparing"},
                                    {"status", "Preparing download"},
                                    {"message", "Checking the published release checksum."},
                                    {"progress", 0},
                                    {"received", ""},
                                    {"total", ""}});
        emit();
        start(installJob);
    } catch (...) {
        working = false;
        state = before;
        try {
            emit();
        } catch (...) {
        }
        throw;
    }
}

bool mayClose() {
    if (state.value("busy", false)) {
        notice("Cancel the download or let installation finish before closing.", Notice::info);
        return false;
    }
    // A release check still running ends at its next wait.
    cancelled.exchange(true);
    return true;
}

void stopWorker() {
    cancelled.exchange(true);
    if (!worker.joinable()) return;
    if (running != installJob) {
        const auto until = std::chrono::steady_clock::now() + checkStop;
        while (!jobEnded.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // A check holds nothing that must be saved, and a launcher that lingers without its
        // window would refuse every later start.
        if (!jobEnded.load()) host::endProcess(exitAbandoned);
    }
    worker.join();
}

void refresh() {
    if (working) return;
    working = true;
    // A flag left set by a cancelled install must not stop this check; shutdown sets it anew.
    cancelled.exchange(false);
    start(checkJob);
}

} // namespace launcher
