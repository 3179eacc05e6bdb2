// A host for tests: records what reaches the page and the desktop, answers the open-file dialog
// from a script, sets the clock, and holds posted payloads until a test runs them.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host.h"

namespace testhost {

extern bool page;                               // what hasPage answers
extern std::atomic<bool> refuse;                // postPayload refuses every payload
extern std::atomic<bool> hold;                  // postPayload waits while set: a job that hangs
extern std::vector<std::string> wire;           // every text posted to the page, as UTF-8
extern std::deque<std::filesystem::path> picks; // dialog answers, in order; none left = cancelled
extern int dialogs;                             // how often the dialog was shown
extern std::vector<std::u16string> opened;      // every folder or address opened
extern launcher::host::LocalTime clock;

// The page's messages, parsed.
std::vector<nlohmann::json> messages();
// Texts of the notices among them, and their kinds.
std::vector<std::string> notices();
std::vector<std::string> kinds();
// The last state message's document; null when none was sent.
nlohmann::json lastState();

std::size_t queued();
// Hands every payload queued so far to handlePayload, in order.
void runQueue();
// Runs payloads as they arrive until the job has ended; false after the time limit.
// after runs once after each payload.
[[nodiscard]] bool finish(std::chrono::seconds limit = std::chrono::seconds(60),
                          const std::function<void()>& after = {});

// Fresh shell globals (data folder, managed folder, initial state document) and recordings.
void reset(const std::filesystem::path& support);

// A scoped temporary folder.
struct Folder {
    std::filesystem::path path;
    Folder();
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
};

// Writes a file, creating its folders.
void write(const std::filesystem::path& file, const std::string& text);
std::string read(const std::filesystem::path& file);

// Lays out a folder that validGame accepts: an x64 image header and the two asset files.
std::filesystem::path layGame(const std::filesystem::path& folder,
                              const std::string& name = "OrbelZolta.exe");

} // namespace testhost
