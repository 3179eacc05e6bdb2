// Durable file replacement for the settings file; one implementation per platform (files/).
#pragma once

#include <filesystem>

namespace launcher::host {

// Moves from over to in one step that has reached the disk when it returns. False when the move
// failed (to is left as it was) or could not be flushed.
[[nodiscard]] bool moveOver(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace launcher::host
