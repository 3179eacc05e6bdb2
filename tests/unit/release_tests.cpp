#include <gtest/gtest.h>

#include "errors.h"

#include <stdexcept>

#include "launcher_core.h"

using namespace zolta_launcher;

namespace {

std::string line(char digit, const std::string& name) {
    return std::string(64, digit) + "  " + name;
}

} // namespace

TEST(SelectRelease, PicksHighestVersionNumerically) {
    auto chosen = selectRelease(line('a', "OrbelZolta-3.9.0-Windows-x64.zip") + "\n" +
                                line('b', "OrbelZolta-3.10.0-Windows-x64.zip") + "\n");
    EXPECT_EQ(chosen.versionText, "3.10.0");
    EXPECT_EQ(chosen.checksum, std::string(64, 'b'));
    EXPECT_EQ(chosen.fileName, "OrbelZolta-3.10.0-Windows-x64.zip");
}

TEST(SelectRelease, KeepsFirstOfEqualVersions) {
    auto chosen = selectRelease(line('a', "OrbelZolta-1.2.3-Windows-x64.zip") + "\n" +
                                line('b', "OrbelZolta-01.02.03-Windows-x64.zip") + "\n" +
                                line('c', "OrbelZolta-1.2.3-Windows-x64.zip"));
    EXPECT_EQ(chosen.versionText, "1.2.3");
    EXPECT_EQ(chosen.checksum, std::string(64, 'a'));
}

TEST(SelectRelease, AcceptsCrLfAndLastLineWithoutLineFeed) {
    auto crlf = selectRelease("# comment\r\n\r\n" + line('d', "OrbelZolta-2.0.0-Windows-x64.zip") +
                              "\r\n" + line('e', "OrbelZolta-1.0.0-Windows-x64.zip") + "\r\n");
    EXPECT_EQ(crlf.versionText, "2.0.0");
    EXPECT_EQ(crlf.fileName, "OrbelZolta-2.0.0-Windows-x64.zip");
    EXPECT_EQ(selectRelease(line('f', "OrbelZolta-0.0.1-Windows-x64.zip")).checksum,
              std::string(64, 'f'));
    // A higher version in a later line wins over one that ends in CR LF.
    EXPECT_EQ(selectRelease(line('a', "OrbelZolta-1.0.0-Windows-x64.zip\r\n") +
                            line('b', "OrbelZolta-1.0.1-Windows-x64.zip"))
                  .versionText,
              "1.0.1");
}

TEST(SelectRelease, IgnoresLinesThatDoNotCount) {
    const std::string hex(64, 'a');
    const std::string uncounted[] = {
        "",
        "\xEF\xBB\xBF" + line('a', "OrbelZolta-1.2.3-Windows-x64.zip"), // byte-order mark
        std::string(64, 'A') + "  OrbelZolta-1.2.3-Windows-x64.zip",
        hex + " OrbelZolta-1.2.3-Windows-x64.zip",
        hex + "   OrbelZolta-1.2.3-Windows-x64.zip",
        " " + line('a', "OrbelZolta-1.2.3-Windows-x64.zip"),
        line('a', "OrbelZolta-1.2.3-Windows-x64.zip "),
        line('a', "OrbelZolta-1.2.3-Windows-x64.zip\r\r"),
        hex + "\tOrbelZolta-1.2.3-Windows-x64.zip",
        hex + "  *OrbelZolta-1.2.3-Windows-x64.zip",
        line('a', "OrbelZolta-v1.2.3-Windows-x64.zip"),
        line('a', "OrbelZolta-1.2-Windows-x64.zip"),
        line('a', "OrbelZolta-1.2.3.4-Windows-x64.zip"),
        line('a', "OrbelZolta-1234567.2.3-Windows-x64.zip"),
        line('a', "OrbelZolta-1.2.3-Linux-x64.zip"),
        line('a', "OrbelZolta-1.2.3-Windows-x64.zip.sig"),
        std::string(63, 'a') + "  OrbelZolta-1.2.3-Windows-x64.zip",
        std::string(65, 'a') + "  OrbelZolta-1.2.3-Windows-x64.zip",
    };
    for (const auto& text : uncounted) {
        EXPECT_EQ(errorText([&] { selectRelease(text); }),
                  "No verified Windows release is published")
            << text;
        // Beside a counting line, it is skipped silently.
        EXPECT_EQ(
            selectRelease(text + "\n" + line('b', "OrbelZolta-0.0.1-Windows-x64.zip") + "\n" + text)
                .versionText,
            "0.0.1")
            << text;
    }
}

TEST(Version, ParsesOnlyThreeNumbersAtTheStart) {
    struct Case {
        const char* text;
        VersionTriple want;
    };
    const Case cases[] = {
        {"1.2.3", {1, 2, 3}},
        {"1.2.3-beta", {1, 2, 3}},
        {"1.2.3-", {1, 2, 3}},
        {"01.002.3", {1, 2, 3}},
        {"999999.0.999999", {999999, 0, 999999}},
        {"1.2", {}},
        {"1.2.3.4", {}},
        {"1.2.3+build", {}},
        {"v1.2.3", {}},
        {"1.2.3 ", {}},
        {" 1.2.3", {}},
        {"1.2.3\n", {}},
        {"1.2.3\nx", {}},
        {"1234567.0.0", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(version(c.text), c.want) << c.text;
}

TEST(Version, OrdersNumberByNumber) {
    EXPECT_LT((VersionTriple{0, 0, 0}), (VersionTriple{0, 0, 1}));
    EXPECT_LT((VersionTriple{1, 9, 9}), (VersionTriple{2, 0, 0}));
    EXPECT_FALSE((VersionTriple{2, 0, 0}) < (VersionTriple{2, 0, 0}));
    EXPECT_LT(version("3.9.0"), version("3.10.0"));
}

TEST(Wide, ConvertsWellFormedUtf8) {
    EXPECT_EQ(wide(""), u"");
    EXPECT_EQ(wide("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(wide("\xF0\x9F\x8E\xAE"), u"\U0001F3AE");
    EXPECT_EQ(wide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(wide("\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80"),
              u"\uFFFF\U0010FFFF\uD7FF\uE000");
}

TEST(Wide, RejectsMalformedUtf8) {
    const char* malformed[] = {
        "\x80",             // stray continuation
        "a\xC3",            // cut short
        "\xE2\x82",         // cut short
        "\xC0\xAF",         // overlong
        "\xC1\xBF",         // overlong
        "\xE0\x9F\xBF",     // overlong
        "\xF0\x8F\xBF\xBF", // overlong
        "\xED\xA0\x80",     // high surrogate
        "\xED\xBF\xBF",     // low surrogate
        "\xF4\x90\x80\x80", // above U+10FFFF
        "\xF5\x80\x80\x80",
        "\xFF",
        "\xC3\xA9\xC3", // good then cut
        "\xE2\x28\xA1", // bad continuation
    };
    for (const char* text : malformed)
        EXPECT_EQ(errorText([&] { wide(text); }), "Invalid UTF-8 path")
            << testing::PrintToString(text);
}

TEST(Narrow, ReplacesUnpairedSurrogates) {
    EXPECT_EQ(narrow(u"\u00E9\U0001F3AE"), "\xC3\xA9\xF0\x9F\x8E\xAE");
    EXPECT_EQ(narrow(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD"
                                                                    "b");
    EXPECT_EQ(narrow(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
}

TEST(Require, ThrowsTheMessageOnlyWhenFalse) {
    EXPECT_NO_THROW(require(true, "unused"));
    EXPECT_EQ(errorText([] { require(false, "Cannot save launcher settings"); }),
              "Cannot save launcher settings");
}
