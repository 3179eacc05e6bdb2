#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "launcher_core.h"

using namespace zolta_launcher;

namespace {

bool windowsEqual(wchar_t a, wchar_t b) {
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

} // namespace

// The fold that judges an archive's names against the platform's own comparison of file names,
// unit by unit over the Basic Multilingual Plane: whatever the platform takes for one is one
// here too. The fold joins a little more: the variant letters that upper-case to a letter whose
// own lower case is another (the final sigma beside sigma, the dotless i beside i). Such names
// are only refused, never unpacked differently.
TEST(Upcase, JoinsWhatThePlatformTakesForOne) {
    auto single = [](char16_t unit) { return std::u16string(1, unit); };
    auto lower = [](wchar_t unit) {
        CharLowerBuffW(&unit, 1);
        return static_cast<char16_t>(unit);
    };
    int apart = 0, variants = 0;
    for (char32_t point = 1; point < 0x10000; ++point) {
        if (point >= 0xD800 && point < 0xE000) continue;
        const auto unit = static_cast<char16_t>(point);
        const char16_t folded = upcase(single(unit))[0];
        wchar_t upper = static_cast<wchar_t>(unit);
        CharUpperBuffW(&upper, 1);
        if (windowsEqual(static_cast<wchar_t>(unit), upper) &&
            upcase(single(static_cast<char16_t>(upper)))[0] != folded) {
            ++apart;
            ADD_FAILURE() << "kept apart: U+" << std::hex << static_cast<unsigned>(unit);
        }
        if (!windowsEqual(static_cast<wchar_t>(unit), static_cast<wchar_t>(folded))) {
            ++variants;
            EXPECT_NE(lower(static_cast<wchar_t>(folded)), unit)
                << "joined: U+" << std::hex << static_cast<unsigned>(unit);
        }
    }
    EXPECT_EQ(apart, 0);
    EXPECT_LT(variants, 40); // the variant letters only: 27 under Wine 8
}
