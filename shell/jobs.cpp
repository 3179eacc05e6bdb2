#include "shell.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "launcher_core.h"

namespace launcher {

namespace {

namespace zl = zolta_launcher;

void postFailure(const std::string& text) {
    try {
        post({{"finished", true},
              {"notice", text},
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

// A health count as a 32-bit signed number: fractions cut toward zero, larger values clamped.
std::int32_t count(const nlohmann::json& health, const char* key) {
    if (!health.contains(key)) return 0;
    double value = std::trunc(health.at(key).get<double>());
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
        } catch (...) {
            result["notice"] =
                "Couldn\u2019t check the latest release. Your installed game is still "
                "available.";
        }
        result["finished"] = true;
        post(std::move(result));
    } catch (...) {
        // Only a memory shortage gets here; the thread must still end normally.
    }
}

// Starts job on the worker thread; a thread that cannot be started leaves no job behind.
void start(void (*job)()) {
    try {
        if (worker.joinable()) worker.join();
        worker = std::thread(job);
    } catch (...) {
        working = false;
        throw;
    }
}

} // namespace

nlohmann::json document(const std::u16string& name) {
    return nlohmann::json::parse(zl::fetch(name, {}, nullptr, {}), nullptr, true, false);
}

void startInstall() {
    if (working) {
        notice("Please wait for the current operation to finish.");
        return;
    }
    zl::require(!zl::gameRunning(managed / "OrbelZolta.exe"),
                "Close Zolta before installing its update.");
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

void refresh() {
    if (working) return;
    working = true;
    start(checkJob);
}

} // namespace launcher
