#include "shell.h"

#include <fstream>

#include "host/files.h"
#include "launcher_core.h"

namespace launcher {

void save() {
    const char* failed = "Cannot save launcher settings";
    const auto next = support / "settings.new";
    {
        std::ofstream out(next); // text mode: line breaks as the platform stores them
        nlohmann::json settings = {{"autoCheck", state.value("autoCheck", true)},
                                   {"gamePath", utf8(game)}};
        out << settings.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
        out.close();
        zolta_launcher::require(!out.fail(), failed);
    }
    zolta_launcher::require(host::moveOver(next, support / "settings.json"), failed);
}

void readSettings() {
    // Each value is applied as soon as it is read; the first one that cannot be read ends the
    // reading and keeps what came before.
    try {
        std::ifstream in(support / "settings.json");
        if (!in) return;
        auto settings = nlohmann::json::parse(in, nullptr, true, false);
        game = zolta_launcher::wide(settings.value("gamePath", std::string{}));
        state["autoCheck"] = settings.value("autoCheck", true);
    } catch (...) {
    }
}

} // namespace launcher
