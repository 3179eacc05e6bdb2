// The launcher's own process: its id and its clock, which name the install's staging folder and
// time its waits and the download's.
#pragma once

#include <cstdint>

namespace zolta_launcher::platform {

// Milliseconds since the system started, on a clock that never goes back.
std::uint64_t milliseconds();

// The current process id.
std::uint32_t processId();

} // namespace zolta_launcher::platform
