#include <windows.h>

#include "platform/text.h"

namespace zolta_launcher::platform {

bool utf16(const std::string& text, std::u16string& out) {
    out.clear();
    if (text.empty()) return true;
    int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length == 0) return false;
    out.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                        reinterpret_cast<wchar_t*>(out.data()), length);
    return true;
}

std::string utf8(const std::u16string& text) {
    if (text.empty()) return {};
    auto source = reinterpret_cast<const wchar_t*>(text.data());
    int size = static_cast<int>(text.size());
    int length = WideCharToMultiByte(CP_UTF8, 0, source, size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, source, size, out.data(), length, nullptr, nullptr);
    return out;
}

} // namespace zolta_launcher::platform
