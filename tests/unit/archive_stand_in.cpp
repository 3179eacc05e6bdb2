// Stands in for the archive functions until they are part of the core; activate never calls them,
// install does. Removed when the archive area lands.
#include <stdexcept>

#include "launcher_core.h"

namespace zolta_launcher {

std::string sha256(const std::filesystem::path&) {
    throw std::logic_error("no archive support");
}

void extract(const std::filesystem::path&, const std::filesystem::path&) {
    throw std::logic_error("no archive support");
}

} // namespace zolta_launcher
