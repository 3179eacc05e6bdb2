// Text conversion between the core's UTF-8 and the platform's UTF-16.
#pragma once

#include <string>

namespace zolta_launcher::platform {

// Strict UTF-8 to UTF-16. False for text that is not well-formed UTF-8 (NUL bytes convert).
[[nodiscard]] bool utf16(const std::string& text, std::u16string& out);

// UTF-16 to UTF-8 with U+FFFD for every unpaired surrogate.
std::string utf8(const std::u16string& text);

} // namespace zolta_launcher::platform
