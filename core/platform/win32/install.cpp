#include <windows.h>

#include "platform/platform.h"

namespace zolta_launcher::platform {

void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec) {
    ec.clear();
    // No MOVEFILE_REPLACE_EXISTING: the move fails whenever to exists, of whatever kind, and
    // no MOVEFILE_COPY_ALLOWED: a folder is renamed in one step or not at all.
    if (!MoveFileExW(from.c_str(), to.c_str(), 0))
        ec.assign(static_cast<int>(GetLastError()), std::system_category());
}

std::uint32_t processId() {
    return GetCurrentProcessId();
}

} // namespace zolta_launcher::platform
