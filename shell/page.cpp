#include "shell.h"

#include "host/host.h"
#include "launcher_core.h"

namespace launcher {

void send(const nlohmann::json& message) {
    if (!host::hasPage() || !ready) return;
    auto text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    host::postToPage(zolta_launcher::wide(text));
}

void emit() {
    send({{"data", state}, {"type", "state"}});
}

void notice(const std::string& text, Notice kind) {
    send({{"kind", kind}, {"message", text}, {"type", "notice"}});
}

} // namespace launcher
