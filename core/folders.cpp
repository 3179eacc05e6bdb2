#include "launcher_core.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/files.h"

namespace zolta_launcher {

namespace fs = std::filesystem;

namespace {

// A scanner or indexer holds a file it has just seen for well under a second; a few seconds of
// pauses in all, growing from 50 ms, see one through without keeping a player waiting on a file
// that stays held.
constexpr int firstPause = 50, longestPause = 1000, allPauses = 5000;

FileFault fault;

template <typename Attempt>
void persist(const fs::path& path, std::error_code& ec, Attempt attempt) {
    int waited = 0, pause = firstPause;
    for (;;) {
        ec = fault ? fault(path) : std::error_code{};
        if (!ec) attempt(ec);
        if (!ec || !platform::transient(ec) || waited >= allPauses) return;
        pause = std::min(pause, allPauses - waited);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        waited += pause;
        pause = std::min(pause * 2, longestPause);
    }
}

} // namespace

void moveFolder(const fs::path& from, const fs::path& to, std::error_code& ec) {
    persist(from, ec, [&](std::error_code& failure) { platform::moveFolder(from, to, failure); });
}

void removeTree(const fs::path& path, std::error_code& ec) {
    persist(path, ec, [&](std::error_code& failure) { platform::removeTree(path, failure); });
}

void injectFileFault(FileFault injected) {
    fault = std::move(injected);
}

} // namespace zolta_launcher
