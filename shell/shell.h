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

// Picks the game in use (a complete linked game, else a complete managed copy, else none) and
// writes the six installation keys. Throws only the file-system errors of validGame.
void detect();
// Adds an activity entry at the front of "activity", keeping the newest eight.
void record(const std::string& text);
// The local time as "HH:MM".
std::u16string stamp();

void readSettings(); // start-up's tolerant read of support / "settings.json"; never throws
void save();         // throws "Cannot save launcher settings"

// Posts to the page once it exists and has sent "ready"; dropped before. Throws the JSON
// library's type error 316 for text that is not valid UTF-8.
void send(const nlohmann::json& message);
void emit(); // the whole state document

// What a notice is, sent beside its text as "kind" so that the page styles and announces it
// without knowing the launcher's sentences. "checked" is the release check's outcome, which
// informs; a kind the JSON reader does not know is read as an error.
enum class Notice { error, info, checked };
NLOHMANN_JSON_SERIALIZE_ENUM(Notice, {{Notice::error, "error"},
                                      {Notice::info, "info"},
                                      {Notice::checked, "checked"}})
void notice(const std::string& text, Notice kind); // one text for the page to show

// Worker thread; an undeliverable payload is freed. A payload's "notice" is shown with the kind
// in its "noticeKind", an error when it has none.
void post(nlohmann::json payload);
void handlePayload(nlohmann::json* payload); // takes ownership; never throws

// A JSON document from the release server, parsed strictly (no comments): it must arrive within
// 30 s and nest at most 64 levels deep, and the cancel flag ends its transfer. Throws what fetch
// or the parser throws, or "The release server sent a document nested too deeply.". Any thread.
nlohmann::json document(const std::u16string& name);

void startInstall(); // refuses with a notice while a job or the managed game runs
void refresh();      // starts the release check unless a job runs

// Whether the main window may close now. Not while an install runs: the page then gets the notice
// "Cancel the download or let installation finish before closing.". Otherwise sets the cancel
// flag, so that a release check still running ends with it. Throws what notice throws.
bool mayClose();
// Shutdown's end of the worker, and the error exit's: sets the cancel flag and joins the worker.
// An install is waited for until it ends (its download stops at the flag). A release check that
// has not ended within 3 s ends the process at once with exitAbandoned (it has nothing to save).
void stopWorker();
// The exit code of a process that stopWorker ended because its release check did not stop; a
// normal shutdown exits 0 and the error exit 1, so a check that ignores the cancel shows.
constexpr int exitAbandoned = 2;
void handle(const nlohmann::json& message); // one page action; throws what the action throws
void receive(
    const std::u16string& text); // a page message already accepted by the host; never throws

int smoke(const std::filesystem::path& folder); // the self-test; 0 passed, 1 failed

// Text helpers. clean: text with every ill-formed UTF-8 sequence replaced by U+FFFD, so it can
// always be serialised. utf8/utf16: a path's text as composed, unpaired units replaced.
std::string clean(const std::string& text);
std::string utf8(const std::filesystem::path& path);
std::u16string utf16(const std::filesystem::path& path);

} // namespace launcher
