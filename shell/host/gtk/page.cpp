#include "page.h"

#include <array>
#include <system_error>
#include <utility>

namespace launcher::host {

namespace {

constexpr std::size_t longestMessage = 4095;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes a path; false for an escape that is not two hexadecimal digits.
bool decode(std::string_view text, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool safeSegment(std::string_view segment) {
    if (segment.empty() || segment.front() == '.') return false;
    for (char c : segment)
        if (c == '\0' || c == '\\') return false;
    return true;
}

// Whether path lies inside root, both canonical: compared component by component.
bool inside(const std::filesystem::path& path, const std::filesystem::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p)
        if (p == path.end() || *p != *r) return false;
    return p != path.end();
}

} // namespace

std::string startAddress() {
    return std::string(pageScheme) + "://" VIRTUAL_HOST "/index.html";
}

bool startPage(const char* uri) {
    return uri != nullptr && startAddress() == uri;
}

std::filesystem::path pageFile(const std::filesystem::path& root, std::string_view uri) {
    const std::string prefix = std::string(pageScheme) + "://" VIRTUAL_HOST "/";
    if (!uri.starts_with(prefix)) return {};
    std::string_view rest = uri.substr(prefix.size());
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string decoded;
    if (!decode(rest, decoded)) return {};

    std::filesystem::path relative;
    std::string_view remaining = decoded;
    while (true) {
        const auto slash = remaining.find('/');
        const std::string_view segment = remaining.substr(0, slash);
        if (!safeSegment(segment)) return {};
        relative /= std::string(segment);
        if (slash == std::string_view::npos) break;
        remaining.remove_prefix(slash + 1);
    }

    std::error_code error;
    const auto base = std::filesystem::canonical(root, error);
    if (error) return {};
    const auto file = std::filesystem::canonical(base / relative, error);
    if (error || !inside(file, base) || !std::filesystem::is_regular_file(file, error)) return {};
    return file;
}

const char* contentType(const std::filesystem::path& file) {
    static constexpr std::array<std::pair<const char*, const char*>, 11> types{{
        {".html", "text/html"},
        {".js", "text/javascript"},
        {".css", "text/css"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".webp", "image/webp"},
        {".ico", "image/x-icon"},
        {".json", "application/json"},
        {".woff2", "font/woff2"},
        {".txt", "text/plain"},
    }};
    const auto extension = file.extension().string();
    for (const auto& [name, type] : types)
        if (extension == name) return type;
    return "application/octet-stream";
}

bool acceptable(const char* source, const std::u16string& text) {
    return startPage(source) && text.size() <= longestMessage;
}

} // namespace launcher::host
