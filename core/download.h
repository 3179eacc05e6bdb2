// The download's sentences and the time a document has: written once, used by the core, its
// platform backends and the shell.
#pragma once

#include <cstdint>

namespace zolta_launcher {

// Every sentence a download failure tells the player, exactly as shown.
namespace sentences {
inline constexpr char initFailed[] = "Cannot initialize secure download";
inline constexpr char connectFailed[] =
    "Secure download failed. Check your connection and try again.";
inline constexpr char notReturned[] = "The release server did not return the requested file.";
inline constexpr char tooLarge[] = "Release exceeds the download size limit";
inline constexpr char cannotCreate[] = "Cannot create the download file";
inline constexpr char cancelled[] = "Download cancelled. Your existing installation is unchanged.";
inline constexpr char interrupted[] = "Download interrupted. Please try again.";
inline constexpr char cannotSave[] = "Cannot save download. Check available disk space.";
inline constexpr char incomplete[] = "Download is incomplete";
} // namespace sentences

// A server document (the checksum list too) must arrive whole within this many milliseconds.
inline constexpr std::uint32_t documentTime = 30000;

} // namespace zolta_launcher
