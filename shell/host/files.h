// Durable file replacement for the settings file; one implementation per platform (files/).
#pragma once

#include <filesystem>

namespace launcher::host {

// Moves from over to in one step. False only when to was not replaced (it is left as it was);
// where the platform allows, the move has reached the disk when it returns.
[[nodiscard]] bool moveOver(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace launcher::host
