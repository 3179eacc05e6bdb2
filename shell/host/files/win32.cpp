#include "../files.h"

#include <windows.h>

namespace launcher::host {

bool moveOver(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Write-through: the call returns only once the move has been flushed to the disk.
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace launcher::host
