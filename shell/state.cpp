#include "shell.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "host/host.h"
#include "launcher_core.h"

namespace launcher {

std::filesystem::path support;
std::filesystem::path managed;
std::filesystem::path game;
nlohmann::json state = {
    {"platform", "Windows"},
    {"installed", false},
    {"managedInstalled", false},
    {"autoCheck", true},
    {"busy", false},
    {"stage", "idle"},
    {"activity", nlohmann::json::array()},
};
std::thread worker;
std::atomic<bool> cancelled{false};
bool working = false;
bool ready = false;

namespace {

// The "version" of the release marker beside exe; empty for any problem with the marker.
std::string markerVersion(const std::filesystem::path& exe) {
    try {
        std::ifstream in(exe.parent_path() / "launcher-release.json");
        if (!in) return {};
        auto marker = nlohmann::json::parse(in, nullptr, true, false);
        return marker.value("version", std::string{});
    } catch (...) {
        return {};
    }
}

bool complete(const std::filesystem::path& exe) {
    return !exe.empty() && zolta_launcher::validGame(exe);
}

} // namespace

void detect() {
    const auto managedExe = managed / "OrbelZolta.exe";
    if (!complete(game)) game = complete(managedExe) ? managedExe : std::filesystem::path{};
    state["installed"] = !game.empty();
    state["path"] = utf8(game);
    state["managedInstalled"] = complete(managedExe);
    state["managedPath"] = utf8(managed.parent_path());
    const std::string marker = game.empty() ? "" : markerVersion(game);
    state["installedVersion"] = game.empty() ? "" : marker.empty() ? "Unknown" : marker;
    const std::string latest = state.value("latestVersion", std::string{});
    state["updateAvailable"] = !game.empty() && !marker.empty() &&
                               zolta_launcher::version(marker) < zolta_launcher::version(latest);
}

void record(const std::string& text) {
    nlohmann::json entry = {{"text", text}, {"time", zolta_launcher::narrow(stamp())}};
    auto& activity = state["activity"];
    activity.insert(activity.begin(), std::move(entry));
    if (activity.size() > 8) activity.erase(8);
}

std::u16string stamp() {
    const auto now = host::localTime();
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u", now.hour, now.minute);
    return {text, text + std::strlen(text)};
}

} // namespace launcher
