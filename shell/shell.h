// The launcher shell's platform-neutral logic: globals, state document, settings, page messages,
// worker hand-off, jobs, page actions and the self-test. User-interface thread unless noted.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace launcher {

extern std::filesystem::path support; // the data folder
extern std::filesystem::path managed; // support / "Games/OrbelZolta-Windows"
extern std::filesystem::path game;    // the game executable in use; empty = none
extern nlohmann::json state;          // the state document the page renders
extern std::thread worker;            // at most one job thread, never detached
extern std::atomic<bool> cancelled;
extern bool working;
extern bool ready;

void detect();
void record(const std::string& text);
std::u16string stamp();

void readSettings(); // start-up's tolerant read of support / "settings.json"
void save();         // throws "Cannot save launcher settings"

void send(const nlohmann::json& message);
void emit();
void notice(const std::string& text);

void post(nlohmann::json payload);           // worker thread
void handlePayload(nlohmann::json* payload); // takes ownership; never throws

void startInstall();
void refresh();
void handle(const nlohmann::json& message); // one page action
void receive(const std::u16string& text);   // a page message already accepted by the host

int smoke(const std::filesystem::path& folder); // the self-test; 0 passed, 1 failed

} // namespace launcher
