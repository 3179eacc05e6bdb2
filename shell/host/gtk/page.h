// The rules that confine the web view to the launcher's own page. No GTK here, so they are
// tested without a display.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace launcher::host {

// The launcher's own scheme and the one address the web view may show.
inline constexpr const char* pageScheme = "orbel-launcher";
std::string startAddress();

// Whether uri is exactly the start address: no case folding, query, fragment or added slash.
[[nodiscard]] bool startPage(const char* uri);

// The file under root that uri names, or an empty path when uri names nothing there: another
// scheme or host, a malformed escape, an empty, "." or ".." segment, a hidden name, a backslash
// or NUL, a folder, a missing file, or a link that leads outside root.
std::filesystem::path pageFile(const std::filesystem::path& root, std::string_view uri);

// The content type served for a page file, by its extension.
const char* contentType(const std::filesystem::path& file);

// Whether a page message may reach the shell: it comes from the start page and its JSON text is
// at most 4095 UTF-16 code units.
[[nodiscard]] bool acceptable(const char* source, const std::u16string& text);

} // namespace launcher::host
