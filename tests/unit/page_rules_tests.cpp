#include "page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace launcher::host;

namespace {

std::string address(const std::string& path) {
    return startAddress().substr(0, startAddress().size() - 10) + path;
}

struct PageFolder {
    fs::path top = fs::temp_directory_path() / ("page-rules-" + std::to_string(::getpid()));
    fs::path ui = top / "ui";
    PageFolder() {
        fs::create_directories(ui / "js");
        fs::create_directories(ui / "sub");
        std::ofstream(ui / "index.html") << "<!doctype html>";
        std::ofstream(ui / "js/app.js") << "1";
        std::ofstream(ui / ".hidden") << "x";
        std::ofstream(top / "secret.txt") << "outside";
        fs::create_symlink(top / "secret.txt", ui / "link");
    }
    ~PageFolder() { fs::remove_all(top); }
};

} // namespace

TEST(PageRules, OnlyTheExactStartAddressMayLoad) {
    const std::string start = startAddress();
    EXPECT_EQ(start, std::string(pageScheme) + "://launcher.orbel.test/index.html");
    EXPECT_TRUE(startPage(start.c_str()));
    for (const std::string& other :
         {start + "/", start + "?x", start + "#top", start.substr(0, start.size() - 1),
          std::string("ORBEL-LAUNCHER") + start.substr(std::string(pageScheme).size()),
          std::string("https://launcher.orbel.test/index.html"), address("Index.html"),
          std::string("about:blank"), std::string()})
        EXPECT_FALSE(startPage(other.c_str())) << other;
    EXPECT_FALSE(startPage(nullptr));
}

TEST(PageRules, ServesOnlyFilesInsideThePageFolder) {
    PageFolder folder;
    const fs::path ui = fs::canonical(folder.ui);
    struct Case {
        std::string uri;
        fs::path expected; // empty: refused
    };
    const Case cases[] = {
        {address("index.html"), ui / "index.html"},
        {address("js/app.js"), ui / "js/app.js"},
        {address("%69ndex.html"), ui / "index.html"},
        {address("index.html?v=2#top"), ui / "index.html"},
        {address(""), {}},
        {address("missing.html"), {}},
        {address("sub"), {}},
        {address("../secret.txt"), {}},
        {address("%2e%2e/secret.txt"), {}},
        {address("js/../index.html"), {}},
        {address("./index.html"), {}},
        {address("js//app.js"), {}},
        {address(".hidden"), {}},
        {address("link"), {}},
        {address("js%5capp.js"), {}},
        {address("index.html%00"), {}},
        {address("index%2"), {}},
        {address("index%zzhtml"), {}},
        {"https://launcher.orbel.test/index.html", {}},
        {std::string(pageScheme) + "://other.test/index.html", {}},
        {std::string(pageScheme) + "://launcher.orbel.test.evil/index.html", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(pageFile(folder.ui, c.uri), c.expected) << c.uri;
}

TEST(PageRules, ContentTypesFollowTheExtension) {
    EXPECT_STREQ(contentType("index.html"), "text/html");
    EXPECT_STREQ(contentType("app.js"), "text/javascript");
    EXPECT_STREQ(contentType("style.css"), "text/css");
    EXPECT_STREQ(contentType("data.bin"), "application/octet-stream");
}

TEST(PageRules, MessagesComeFromTheStartPageAndStayShort) {
    const std::string start = startAddress();
    EXPECT_TRUE(acceptable(start.c_str(), std::u16string(4095, u'a')));
    EXPECT_FALSE(acceptable(start.c_str(), std::u16string(4096, u'a')));
    EXPECT_TRUE(acceptable(start.c_str(), std::u16string(4095, u'\xD83D')));
    EXPECT_FALSE(acceptable((start + "#x").c_str(), u"{}"));
    EXPECT_FALSE(acceptable(nullptr, u"{}"));
}
