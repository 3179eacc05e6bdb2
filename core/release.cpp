#include "launcher_core.h"

#include <regex>
#include <stdexcept>

#include "platform/text.h"

namespace zolta_launcher {

Release selectRelease(const std::string& sums) {
    static const std::regex line(
        R"(^([0-9a-f]{64})  OrbelZolta-([0-9]{1,6}\.[0-9]{1,6}\.[0-9]{1,6})-Windows-x64\.zip\r?$)");
    Release chosen;
    std::size_t start = 0;
    while (start < sums.size()) {
        std::size_t end = sums.find('\n', start);
        if (end == std::string::npos) end = sums.size();
        std::smatch match;
        // Match the line in place: "$" must hold only at the line's own end.
        std::string text = sums.substr(start, end - start);
        if (std::regex_match(text, match, line) &&
            (chosen.fileName.empty() || version(chosen.versionText) < version(match[2].str()))) {
            chosen = {"OrbelZolta-" + match[2].str() + "-Windows-x64.zip", match[1].str(),
                      match[2].str()};
        }
        start = end + 1;
    }
    require(!chosen.fileName.empty(), "No verified Windows release is published");
    return chosen;
}

VersionTriple version(const std::string& text) {
    static const std::regex pattern(R"(^([0-9]{1,6})\.([0-9]{1,6})\.([0-9]{1,6})(?:-|$))");
    std::smatch match;
    if (!std::regex_search(text, match, pattern)) return {};
    auto number = [&](int group) { return static_cast<std::uint32_t>(std::stoul(match[group])); };
    return {number(1), number(2), number(3)};
}

void require(bool ok, const char* message) {
    if (!ok) throw std::runtime_error(message);
}

std::u16string wide(const std::string& text) {
    std::u16string out;
    require(platform::utf16(text, out), "Invalid UTF-8 path");
    return out;
}

std::string narrow(const std::u16string& text) {
    return platform::utf8(text);
}

} // namespace zolta_launcher
