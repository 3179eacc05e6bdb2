#include "shell.h"

#include <algorithm>
#include <string_view>

#include "host/host.h"
#include "launcher_core.h"

namespace launcher {

namespace {

namespace zl = zolta_launcher;

bool busy() {
    return state.value("busy", false);
}

void onReady(const nlohmann::json&) {
    ready = true;
    detect();
    emit();
    if (state.value("autoCheck", true) && !working) refresh();
}

void onRefresh(const nlohmann::json&) {
    if (!working) refresh();
}

void onInstall(const nlohmann::json&) {
    startInstall();
}

void onCancel(const nlohmann::json&) {
    if (state.value("stage", std::string{}) == "downloading") cancelled.exchange(true);
}

void onPlay(const nlohmann::json&) {
    if (busy()) return;
    detect();
    if (game.empty()) {
        notice("Choose Install to add Zolta to your library.", Notice::info);
        emit();
        return;
    }
    auto process = zl::launch(game, u"");
    zl::closeProcess(process);
    record("Launched Orbel Zolta");
    emit();
}

void onShowFiles(const nlohmann::json&) {
    detect();
    if (game.empty()) {
        notice("No game installed yet. Choose Install or Locate game.", Notice::info);
    } else {
        host::open(utf16(game.parent_path()));
    }
}

void onWebsite(const nlohmann::json&) {
    host::open(zl::wide(GAME_WEBSITE));
}

void onAutoCheck(const nlohmann::json& message) {
    state["autoCheck"] = message.value("enabled", true);
    save();
    emit();
}

// The dialog's file name must be the game's, ASCII letters in any case, nothing else folded.
bool gameName(const std::filesystem::path& chosen) {
    const std::u16string name = utf16(chosen.filename());
    const std::u16string_view expected = u"OrbelZolta.exe";
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    return std::equal(name.begin(), name.end(), expected.begin(), expected.end(),
                      [&](char16_t a, char16_t b) { return fold(a) == fold(b); });
}

void onLocate(const nlohmann::json&) {
    if (busy()) return;
    auto chosen = host::pickGame();
    if (chosen.empty()) return;
    zl::require(gameName(chosen) && zl::validGame(chosen),
                "Choose OrbelZolta.exe beside its complete assets folder.");
    game = chosen;
    save();
    detect();
    record("Linked an existing Zolta installation");
    emit();
}

struct Action {
    std::string_view name;
    void (*run)(const nlohmann::json&);
};

constexpr Action actions[] = {
    {"ready", onReady},     {"refresh", onRefresh},     {"install", onInstall},
    {"cancel", onCancel},   {"play", onPlay},           {"showFiles", onShowFiles},
    {"website", onWebsite}, {"autoCheck", onAutoCheck}, {"locate", onLocate},
};

} // namespace

void handle(const nlohmann::json& message) {
    const auto name = message.value("action", std::string{});
    for (const auto& action : actions) {
        if (action.name == name) return action.run(message);
    }
}

void receive(const std::u16string& text) {
    try {
        handle(nlohmann::json::parse(zl::narrow(text), nullptr, true, false));
    } catch (const std::exception& e) {
        try {
            notice(clean(e.what()), Notice::error);
        } catch (...) {
        }
    } catch (...) {
    }
}

} // namespace launcher
