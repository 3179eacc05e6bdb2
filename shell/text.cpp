#include "shell.h"

#include "launcher_core.h"

namespace launcher {

namespace {

// A path's native text is UTF-8 bytes on one platform and UTF-16 units on the other; the
// overload for the other platform's text is simply never called.
[[maybe_unused]] std::string utf8Of(const std::string& native) {
    return clean(native);
}
[[maybe_unused]] std::string utf8Of(const std::wstring& native) {
    return zolta_launcher::narrow(std::u16string(native.begin(), native.end()));
}
[[maybe_unused]] std::u16string utf16Of(const std::string& native) {
    return zolta_launcher::wide(clean(native));
}
[[maybe_unused]] std::u16string utf16Of(const std::wstring& native) {
    return std::u16string(native.begin(), native.end());
}

} // namespace

std::string clean(const std::string& text) {
    // The JSON library's lossy serialisation applies the standard replacement rules; reading the
    // result back gives the repaired text.
    using json = nlohmann::json;
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace))
        .get<std::string>();
}

std::string utf8(const std::filesystem::path& path) {
    return utf8Of(path.native());
}

std::u16string utf16(const std::filesystem::path& path) {
    return utf16Of(path.native());
}

} // namespace launcher
