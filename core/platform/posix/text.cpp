#include "platform/text.h"

#include <cstdint>

namespace zolta_launcher::platform {

namespace {

// Decodes one well-formed UTF-8 sequence at text[i] (Unicode's Table 3-7); 0 bytes if none.
std::size_t decode(const std::string& text, std::size_t i, char32_t& point) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    std::size_t count;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        point = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;  // overlong
        if (lead == 0xED) high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        point = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;  // overlong
        if (lead == 0xF4) high = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < count) return 0;
    for (std::size_t k = 1; k < count; ++k) {
        unsigned char next = byte(i + k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
        point = (point << 6) | (next & 0x3Fu);
    }
    return count;
}

} // namespace

bool utf16(const std::string& text, std::u16string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t point;
        std::size_t used = decode(text, i, point);
        if (used == 0) {
            out.clear();
            return false;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(point));
        }
        i += used;
    }
    return true;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    auto put = [&](char32_t p) {
        if (p < 0x80) {
            out.push_back(static_cast<char>(p));
        } else if (p < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (p >> 6)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3F)));
        } else if (p < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (p >> 12)));
            out.push_back(static_cast<char>(0x80 | ((p >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (p >> 18)));
            out.push_back(static_cast<char>(0x80 | ((p >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((p >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3F)));
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            put(0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(unit);
        }
    }
    return out;
}

} // namespace zolta_launcher::platform
