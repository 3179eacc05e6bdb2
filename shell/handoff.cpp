#include "shell.h"

#include <memory>

#include "host/host.h"

namespace launcher {

namespace {

void apply(nlohmann::json& payload) {
    // A text that is not valid UTF-8 would make every later state message fail; repair it before
    // any of it reaches the document or the page.
    payload = nlohmann::json::parse(
        payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    if (payload.value("finished", false)) {
        working = false;
        if (worker.joinable()) worker.join();
        payload.erase("finished");
    }
    // The game is in place whether or not the settings can be saved: the success is applied
    // and shown first, and a failed save comes after it as a notice.
    std::string unsaved;
    if (payload.value("installedNow", false)) {
        game = managed / "OrbelZolta.exe";
        payload.erase("installedNow");
        try {
            save();
        } catch (const std::exception& e) {
            unsaved = clean(e.what());
        }
    }
    if (payload.contains("record")) {
        record(payload.at("record").get<std::string>());
        payload.erase("record");
    }
    if (payload.contains("notice")) {
        notice(payload.at("notice").get<std::string>(), payload.value("noticeKind", Notice::error));
        payload.erase("notice");
    }
    payload.erase("noticeKind");
    state.update(payload);
    detect();
    emit();
    if (!unsaved.empty()) notice(unsaved, Notice::error);
}

void fail(const std::string& text) {
    state["busy"] = false;
    state["stage"] = "error";
    state["message"] = text;
    emit();
    notice(text, Notice::error);
}

} // namespace

void post(nlohmann::json payload) {
    auto held = std::make_unique<nlohmann::json>(std::move(payload));
    if (host::postPayload(held.get())) static_cast<void>(held.release());
}

void handlePayload(nlohmann::json* payload) {
    const std::unique_ptr<nlohmann::json> owned(payload);
    if (!owned) return;
    try {
        try {
            apply(*owned);
        } catch (const std::exception& e) {
            fail(clean(e.what()));
        } catch (...) {
            fail("Unexpected error");
        }
    } catch (...) {
        // Reporting the failure failed too; the window procedure must still return normally.
    }
}

} // namespace launcher
