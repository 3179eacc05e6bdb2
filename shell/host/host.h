// The shell's platform seam: what the platform-neutral shell needs of a window system.
// Each host (win32/, gtk/) implements all of it; callers never see a platform type.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace launcher::host {

// Hands a heap payload to the user-interface thread, which passes it to handlePayload, in
// posting order; any thread. False when nothing was queued: the caller still owns the payload.
[[nodiscard]] bool postPayload(nlohmann::json* payload);

// Whether the page's web view exists.
[[nodiscard]] bool hasPage();

// Posts a JSON text to the page; a failure is ignored.
void postToPage(const std::u16string& json);

// The modal open-file dialog for the game executable; empty when cancelled or failed.
std::filesystem::path pickGame();

// Opens a folder or a web address with the desktop's handler; the result is ignored.
void open(const std::u16string& target);

// The file whose lock claims a folder for one launcher.
inline constexpr char lockFile[] = "OrbelLauncher-0.2.lock";

// Claims folder for this process until it ends: an exclusive lock on folder / lockFile, which no
// child process inherits. False when another process holds it; true when this one now does, and
// when no lock can be made there (the folder is then left unguarded).
[[nodiscard]] bool lockFolder(const std::filesystem::path& folder);

// Ends the process at once with code, running no clean-up of any kind; any thread.
[[noreturn]] void endProcess(int code);

struct LocalTime {
    unsigned hour = 0;
    unsigned minute = 0;
};
LocalTime localTime();

} // namespace launcher::host
