// fetch against the test release server (run through tests/net/netrun) and mb.
#include "launcher_core.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "release_server.h"
#ifndef _WIN32
#include "dead_resolver.h"
#endif

namespace fs = std::filesystem;
using nlohmann::json;
using release_server::faults; // what the server does next; see tests/net/server.py
using release_server::read;
using release_server::requests;
using release_server::served;
using release_server::write;
using zolta_launcher::fetch;
using zolta_launcher::mb;

namespace {

const char* const incomplete = "Download is incomplete";
const char* const notReturned = "The release server did not return the requested file.";
const char* const tooLarge = "Release exceeds the download size limit";
const char* const cancelled = "Download cancelled. Your existing installation is unchanged.";
const char* const interrupted = "Download interrupted. Please try again.";
const char* const insecure = "Secure download failed. Check your connection and try again.";
constexpr std::uint64_t fileLimit = 536870912;

// The runner's Unix path is not absolute only to a Windows program, which here runs under Wine.
bool wine() {
    return served().string() != std::getenv("ZOLTA_TEST_ROOT");
}

void put(const std::string& name, const std::string& bytes) {
    write(served() / name, bytes);
}

std::string failure(const std::function<void()>& run) {
    try {
        run();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no failure";
}

std::string body(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

struct Events {
    std::vector<json> events;
    std::vector<std::chrono::steady_clock::time_point> times;
    zolta_launcher::ProgressCallback callback() {
        return [this](json event) {
            events.push_back(std::move(event));
            times.push_back(std::chrono::steady_clock::now());
        };
    }
};

class Download : public testing::Test {
  protected:
    void SetUp() override {
        faults(json::object());
        fs::remove(served() / "requests.jsonl");
        // Beside the served folder: this run's own, removed by the runner.
        folder = served().parent_path() / "files";
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    fs::path folder;
};

} // namespace

TEST(Mb, MebibytesWithOneDecimalTiesToEven) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0.0"},           {52428, "0.0"},         {52429, "0.1"},
        {65536, "0.1"},       {262144, "0.2"},        {786432, "0.8"},
        {1048576, "1.0"},     {1310720, "1.2"},       {123456789, "117.7"},
        {536870912, "512.0"}, {4294967295, "4096.0"}, {UINT64_MAX, "17592186044416.0"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(mb(bytes), text) << bytes;
}

TEST_F(Download, MemoryModeReturnsTheRawBodyAndSendsTheFixedRequest) {
    const std::string bytes = body(40000) + "\r\n\n\r\x00\xff";
    put("downloads/SHA256SUMS.txt", bytes);
    EXPECT_EQ(fetch(u"downloads/SHA256SUMS.txt", {}, nullptr, {}), bytes);
    const json request = requests().back();
    EXPECT_EQ(request["path"], "/zolta/downloads/SHA256SUMS.txt");
    EXPECT_EQ(request["headers"]["User-Agent"], "OrbelLauncher/0.2.0");
    EXPECT_EQ(request["headers"]["Cache-Control"], "no-cache");
    EXPECT_FALSE(request["headers"].contains("Accept"));
    EXPECT_FALSE(request["headers"].contains("Referer"));
}

TEST_F(Download, MemoryLimitIsInclusiveWithAndWithoutLength) {
    // A body that only a close ends is never proven whole on Windows (see below).
#ifdef _WIN32
    for (const char* mode : {"normal", "chunked"}) {
#else
    for (const char* mode : {"normal", "chunked", "close"}) {
#endif
        faults({{"at", {{"mode", mode}, {"size", 65536}}},
                {"over", {{"mode", mode}, {"size", 65537}}}});
        EXPECT_EQ(fetch(u"at", {}, nullptr, {}).size(), 65536u) << mode;
        EXPECT_EQ(failure([] { fetch(u"over", {}, nullptr, {}); }), tooLarge) << mode;
    }
}

TEST_F(Download, FileModeAcceptsExactlyTheLimit) {
    faults({{"at", {{"size", fileLimit}}}, {"over", {{"size", fileLimit + 1}}}});
    const fs::path file = folder / "archive.zip";
    EXPECT_EQ(fetch(u"at", file, nullptr, {}), "");
    EXPECT_EQ(fs::file_size(file), fileLimit);
    fs::remove(file);
    // Refused on the announced length alone: no file is made.
    EXPECT_EQ(failure([&] { fetch(u"over", file, nullptr, {}); }), tooLarge);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(Download, FileModeWritesTheBodyUnchanged) {
    const std::string bytes = body(300000) + "\n\r\n";
    put("downloads/OrbelZolta-1.2.3-Windows-x64.zip", bytes);
    const fs::path file = folder / "archive.zip";
    write(file, std::string(500000, 'x')); // truncated, not overwritten in place
    EXPECT_EQ(fetch(u"downloads/OrbelZolta-1.2.3-Windows-x64.zip", file, nullptr, {}), "");
    EXPECT_EQ(read(file), bytes);
}

// A reader that stops for a while lets the transport get ahead of it by more than it buffers:
// every byte still comes once and in order, framed by a length or by chunks.
TEST_F(Download, ASlowReaderGetsTheBodyUnchanged) {
    const std::string bytes = body(3 * 1048576 + 4099);
    put("slow.bin", bytes);
    const fs::path file = folder / "slow.bin";
    for (const bool chunked : {false, true}) {
        faults({{"slow.bin", {{"chunked", chunked}}}});
        int pauses = 0;
        fetch(u"slow.bin", file, nullptr, [&](json) {
            if (pauses++ < 3) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        EXPECT_TRUE(read(file) == bytes) << chunked;
    }
}

TEST_F(Download, FailuresCarryTheirMessages) {
    put("file", body(60000));
    struct Case {
        json fault;
        const char* message;
        const char* underWine = nullptr; // where Wine's WinHTTP differs
    };
    const Case cases[] = {
        {{{"file", "404"}}, notReturned},
        {{{"file", "301"}}, notReturned},
        {{{"file", "302"}}, notReturned},
        {{{"file", "short"}}, incomplete},
        {{{"file", {{"mode", "short"}, {"send", 0}}}}, incomplete},
        {{{"file", "reset"}}, interrupted},
        // A cut chunked body: Wine's WinHTTP takes the clean close for the body's end.
        {{{"file", {{"mode", "short"}, {"chunked", true}}}}, interrupted, "no failure"},
        {{{"file", "drop"}}, insecure},
        {{{"tls", "unknown-ca"}}, insecure},
        {{{"tls", "wrong-host"}}, insecure},
    };
    for (const Case& c : cases) {
        faults(c.fault);
        Events seen;
        const char* message = wine() && c.underWine ? c.underWine : c.message;
        EXPECT_EQ(failure([&] { fetch(u"file", {}, nullptr, seen.callback()); }), message)
            << c.fault;
        if (message == c.message) { // a failure sends no final event
            for (const json& event : seen.events)
                EXPECT_FALSE(event["progress"].is_number_integer());
        }
    }
    faults(json::object());
    EXPECT_EQ(failure([] { fetch(u"missing", {}, nullptr, {}); }), notReturned);
    for (const json& request : requests())
        EXPECT_EQ(request["path"].get<std::string>().find(".moved"), std::string::npos);
}

TEST_F(Download, StalledBodyIsInterrupted) {
    // One full buffer before the stall: Wine's WinHTTP drops a partly filled one when it fails.
    put("file", body(100000));
    faults({{"file", {{"mode", "stall"}, {"send", 65536}, {"seconds", 30}}}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { fetch(u"file", folder / "partial", nullptr, {}); }), interrupted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
    EXPECT_EQ(fs::file_size(folder / "partial"), 65536u); // the partial file stays
}

TEST_F(Download, ResponseHeadMustArriveWithinTheReceiveWait) {
    // Connected, request sent: the whole head must come within 15 s, counted from the request,
    // however it dribbles in.
    const json cases[] = {
        {{"mode", "silent"}, {"seconds", 40}},
        {{"mode", "slowheaders"}, {"delay", 4}, {"seconds", 40}},
        {{"mode", "dribble"}, {"seconds", 40}},
    };
    for (const json& fault : cases) {
        faults({{"file", fault}});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failure([] { fetch(u"file", {}, nullptr, {}); }), insecure) << fault;
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GT(waited, std::chrono::seconds(14)) << fault;
        EXPECT_LT(waited, std::chrono::seconds(20)) << fault;
    }
}

TEST_F(Download, CancelEndsTheWaitForTheResponseHead) {
    // However the head stalls, a cancel reaches the wait for it at once.
    const json cases[] = {
        {{"mode", "silent"}, {"seconds", 30}},
        {{"mode", "slowheaders"}, {"delay", 1}, {"seconds", 30}},
        {{"mode", "dribble"}, {"seconds", 30}},
    };
    for (const json& fault : cases) {
        faults({{"file", fault}});
        std::atomic<bool> cancel{false};
        std::thread closing([&] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            cancel.exchange(true);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failure([&] { fetch(u"file", {}, &cancel, {}); }), cancelled) << fault;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << fault;
        closing.join();
    }
}

TEST_F(Download, CancelEndsAReadThatWaits) {
    // A body that stalls, or trickles a byte a second into the 64 KiB buffer: the worker must
    // not wait for the read's time-out or for the buffer to fill.
    const json cases[] = {
        {{"mode", "stall"}, {"size", 100000}, {"send", 1000}, {"seconds", 30}},
        {{"mode", "trickle"}, {"size", 40}, {"chunk", 1}, {"delay", 1}},
    };
    for (const json& fault : cases) {
        faults({{"file", fault}});
        std::atomic<bool> cancel{false};
        std::chrono::steady_clock::time_point set;
        std::thread closing([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            set = std::chrono::steady_clock::now();
            cancel.exchange(true);
        });
        const std::string what = failure([&] { fetch(u"file", folder / "file", &cancel, {}); });
        const auto ended = std::chrono::steady_clock::now();
        closing.join();
        // The read that the flag ends fails, and is told as the cancel it is.
        EXPECT_EQ(what, cancelled) << fault;
        EXPECT_LT(ended - set, std::chrono::seconds(2)) << fault;
        EXPECT_GT(fs::file_size(folder / "file"), 0u) << fault;
    }
}

TEST_F(Download, TimeLimitBoundsTheWholeTransfer) {
    put("file", body(1000));
    struct Case {
        json fault;
        const char* message;
    };
    const Case cases[] = {
        {{{"file", {{"mode", "trickle"}, {"chunk", 1}, {"delay", 1.5}}}}, interrupted},
        {{{"file", {{"mode", "stall"}, {"send", 100}, {"seconds", 30}}}}, interrupted},
        {{{"file", {{"mode", "silent"}, {"seconds", 30}}}}, insecure},
        {{{"file", {{"mode", "slowheaders"}, {"delay", 1}, {"seconds", 30}}}}, insecure},
        {{{"file", {{"mode", "dribble"}, {"seconds", 30}}}}, insecure},
        // Headers at full speed: the head's size limit, or else the time limit, ends them.
        {{{"file", {{"mode", "flood"}, {"seconds", 30}}}}, insecure},
        // The time the handshake took is no longer there for the response.
        {{{"handshake", 3}, {"file", {{"mode", "silent"}, {"seconds", 30}}}}, insecure},
        {{{"file", {{"mode", "trickle"}, {"chunk", 100}, {"delay", 0.1}}}}, "no failure"},
    };
    for (const Case& c : cases) {
        faults(c.fault);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failure([] { fetch(u"file", {}, nullptr, {}, 5000); }), c.message) << c.fault;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7)) << c.fault;
    }
}

TEST_F(Download, EventsAreSpacedAndEndWithTheFinalEvent) {
    // About 1 s of trickling: a few events, each at least 150 ms after the one before.
    faults({{"file", {{"mode", "trickle"}, {"size", 100000}, {"chunk", 2000}, {"delay", 0.02}}}});
    Events seen;
    fetch(u"file", folder / "file", nullptr, seen.callback());
    ASSERT_GE(seen.events.size(), 3u);
    double last = -1;
    for (std::size_t i = 0; i + 1 < seen.events.size(); ++i) {
        const json& event = seen.events[i];
        ASSERT_TRUE(event["progress"].is_number_float()) << event;
        EXPECT_GT(event["progress"].get<double>(), last);
        EXPECT_LE(event["progress"].get<double>(), 100.0); // 100.0 after the last read
        last = event["progress"];
        EXPECT_EQ(event["total"], mb(100000));
        if (i > 0) {
            EXPECT_GE(seen.times[i] - seen.times[i - 1], std::chrono::milliseconds(149));
        }
    }
    const json final = {{"progress", 100}, {"received", mb(100000)}, {"total", mb(100000)}};
    EXPECT_EQ(seen.events.back(), final);
    EXPECT_TRUE(seen.events.back()["progress"].is_number_integer());
}

TEST_F(Download, WithoutLengthEventsHaveNoTotal) {
    faults({{"file", {{"mode", "chunked"}, {"size", 200000}}}});
    Events seen;
    EXPECT_EQ(fetch(u"file", folder / "file", nullptr, seen.callback()), "");
    EXPECT_EQ(fs::file_size(folder / "file"), 200000u);
    ASSERT_GE(seen.events.size(), 2u);
    EXPECT_EQ(
        seen.events.front(),
        (json{{"progress", 0.0}, {"received", seen.events.front()["received"]}, {"total", ""}}));
    EXPECT_TRUE(seen.events.front()["progress"].is_number_float());
    EXPECT_EQ(seen.events.back(), (json{{"progress", 100}, {"received", "0.2"}, {"total", "0.2"}}));
}

TEST_F(Download, EmptyBodyGivesEmptyResultAndFile) {
    for (const char* mode : {"length0", "normal", "chunked"}) {
        faults({{"empty", {{"mode", mode}, {"size", 0}}}});
        Events seen;
        EXPECT_EQ(fetch(u"empty", {}, nullptr, seen.callback()), "") << mode;
        EXPECT_EQ(fetch(u"empty", folder / "empty", nullptr, seen.callback()), "") << mode;
        EXPECT_EQ(fs::file_size(folder / "empty"), 0u);
        const json final = {{"progress", 100}, {"received", "0.0"}, {"total", "0.0"}};
        EXPECT_EQ(seen.events, std::vector<json>({final, final})) << mode;
    }
}

TEST_F(Download, CancelSetBeforeTheStartStillTestsTheResponse) {
    put("file", body(1000));
    std::atomic<bool> cancel{true};
    Events seen;
    const fs::path file = folder / "file";
    EXPECT_EQ(failure([&] { fetch(u"file", file, &cancel, seen.callback()); }), cancelled);
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(requests().size(), 1u); // the request was sent all the same
    EXPECT_EQ(failure([&] { fetch(u"missing", {}, &cancel, {}); }), notReturned);
    faults({{"big", {{"size", 70000}}}});
    EXPECT_EQ(failure([&] { fetch(u"big", {}, &cancel, {}); }), tooLarge);
}

TEST_F(Download, CancelDuringTheTransferKeepsThePartialFile) {
    faults({{"file", {{"mode", "trickle"}, {"size", 200000}, {"chunk", 1000}, {"delay", 0.01}}}});
    std::atomic<bool> cancel{false};
    const fs::path file = folder / "file";
    EXPECT_EQ(failure([&] { fetch(u"file", file, &cancel, [&](json) { cancel = true; }); }),
              cancelled);
    EXPECT_GT(fs::file_size(file), 0u);
    EXPECT_LT(fs::file_size(file), 200000u);
}

TEST_F(Download, FileThatCannotBeCreatedIsReported) {
    put("file", body(10));
    EXPECT_EQ(failure([&] { fetch(u"file", folder / "missing" / "file", nullptr, {}); }),
              "Cannot create the download file");
}

TEST_F(Download, CallbackExceptionPassesThrough) {
    put("file", body(10));
    struct Stop {};
    EXPECT_THROW(fetch(u"file", {}, nullptr, [](json) { throw Stop{}; }), Stop);
}

// Nothing but the body's own bytes was asked for: a body in any other coding would be read as
// them, a compressed checksum list as a list that holds no release.
TEST_F(Download, ContentCodingOtherThanIdentityIsRefused) {
    const std::string list = std::string(64, 'a') + "  OrbelZolta-1.0.0-Windows-x64.zip\n";
    put("downloads/SHA256SUMS.txt", list);
    put("downloads/OrbelZolta-1.0.0-Windows-x64.zip", body(100000));
    struct Case {
        json coding;
        bool refused;
    };
    const Case cases[] = {
        {"gzip", true},           {"deflate", true},
        {"identity, gzip", true}, {json::array({"identity", "br"}), true},
        {"identity", false},      {"Identity", false},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"normal", "chunked"}) {
            const json fault = {{"mode", mode}, {"coding", c.coding}};
            faults({{"api/health", fault},
                    {"downloads/SHA256SUMS.txt", fault},
                    {"downloads/OrbelZolta-1.0.0-Windows-x64.zip", fault}});
            put("api/health", R"({"status":"online"})");
            const fs::path archive = folder / "archive.zip";
            if (c.refused) {
                EXPECT_EQ(failure([] { fetch(u"api/health", {}, nullptr, {}); }), notReturned)
                    << fault;
                EXPECT_EQ(failure([] { fetch(u"downloads/SHA256SUMS.txt", {}, nullptr, {}); }),
                          notReturned)
                    << fault;
                EXPECT_EQ(failure([&] {
                              fetch(u"downloads/OrbelZolta-1.0.0-Windows-x64.zip", archive, nullptr,
                                    {});
                          }),
                          notReturned)
                    << fault;
                EXPECT_FALSE(fs::exists(archive)) << fault; // refused before the file is made
            } else {
                EXPECT_EQ(fetch(u"api/health", {}, nullptr, {}), R"({"status":"online"})");
                EXPECT_EQ(fetch(u"downloads/SHA256SUMS.txt", {}, nullptr, {}), list) << fault;
                fetch(u"downloads/OrbelZolta-1.0.0-Windows-x64.zip", archive, nullptr, {});
                EXPECT_EQ(read(archive), body(100000)) << fault;
                fs::remove(archive);
            }
        }
    }
}

// A body counts as whole only where its end is proven: the announced length reached, the last
// chunk read, or close_notify after a body without either. The newer release is listed after
// the older, so a list cut between them would install the older one.
TEST_F(Download, BodyWithoutProvenEndIsInterrupted) {
    const std::string older = std::string(64, 'a') + "  OrbelZolta-1.0.0-Windows-x64.zip\n";
    const std::string newer = std::string(64, 'b') + "  OrbelZolta-2.0.0-Windows-x64.zip\n";
    const std::string list = older + newer;
    put("downloads/SHA256SUMS.txt", list);
    struct Case {
        json fault;
        const char* message; // null: the whole list
    };
    const Case cases[] = {
        {{{"mode", "fin"}, {"send", older.size()}}, interrupted},
        {{{"mode", "fin"}}, interrupted}, // every byte, and still no proof
#ifdef _WIN32
        // WinHTTP tells no close_notify from a bare close: a body framed by neither a length nor
        // chunks is never proven whole.
        {"close", interrupted},
#else
        // Wine's WinHTTP takes a clean close for the last chunk; Windows' decoder awaits it.
        {{{"mode", "nolastchunk"}, {"send", older.size()}}, interrupted},
        {{{"mode", "nolastchunk"}}, interrupted},
        {"close", nullptr},
#endif
        {"normal", nullptr},
        {"chunked", nullptr},
    };
    for (const Case& c : cases) {
        faults({{"downloads/SHA256SUMS.txt", c.fault}});
        const fs::path file = folder / "list";
        if (c.message) {
            EXPECT_EQ(failure([] { fetch(u"downloads/SHA256SUMS.txt", {}, nullptr, {}); }),
                      c.message)
                << c.fault;
            EXPECT_EQ(failure([&] { fetch(u"downloads/SHA256SUMS.txt", file, nullptr, {}); }),
                      c.message)
                << c.fault;
        } else {
            EXPECT_EQ(fetch(u"downloads/SHA256SUMS.txt", {}, nullptr, {}), list) << c.fault;
            EXPECT_EQ(fetch(u"downloads/SHA256SUMS.txt", file, nullptr, {}), "") << c.fault;
            EXPECT_EQ(read(file), list) << c.fault;
        }
    }
}

// A cancel ends the wait it meets, whatever the phase, and is told as a cancel even where a
// wait's own end comes first.
TEST_F(Download, CancelEndsAStalledBodyAsACancel) {
    put("file", body(100000));
    faults({{"file", {{"mode", "stall"}, {"send", 65536}, {"seconds", 30}}}});
    std::atomic<bool> cancel{false};
    std::chrono::steady_clock::time_point asked;
    std::thread cancelling;
    const auto onEvent = [&](json) {
        if (cancelling.joinable()) return;
        cancelling = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            asked = std::chrono::steady_clock::now();
            cancel.exchange(true);
        });
    };
    const fs::path file = folder / "partial";
    EXPECT_EQ(failure([&] { fetch(u"file", file, &cancel, onEvent); }), cancelled);
    const auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(cancelling.joinable());
    cancelling.join();
    EXPECT_LT(ended - asked, std::chrono::seconds(3));
    EXPECT_EQ(fs::file_size(file), 65536u);
}

#ifndef _WIN32
// Name resolution is a wait like the others: the time limit and the flag end it, and nothing
// waits for the lookup behind it.
TEST_F(Download, NameResolutionIsBoundedAndCancelled) {
    dead_resolver::DeadResolver resolver;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([] { fetch(u"file", {}, nullptr, {}, 5000); }), insecure);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GT(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::seconds(8));

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([] { fetch(u"file", {}, nullptr, {}); }), insecure);
    waited = std::chrono::steady_clock::now() - start;
    EXPECT_GT(waited, std::chrono::milliseconds(9500)); // the resolution wait
    EXPECT_LT(waited, std::chrono::seconds(14));

    std::atomic<bool> cancel{false};
    std::thread closing([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        cancel.exchange(true);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { fetch(u"file", {}, &cancel, {}); }), cancelled);
    waited = std::chrono::steady_clock::now() - start;
    closing.join();
    EXPECT_LT(waited, std::chrono::seconds(4));
}
#endif

// A body must keep its lowest rate: fewer than 1 KiB in a minute ends it, however each read
// keeps within its own wait, while a slow body above that rate goes on. The real minute: the
// build runs this test on its own, beside the others.
TEST_F(Download, ADripEndsWhileASlowBodyGoesOn) {
    faults({{"drip", {{"mode", "trickle"}, {"size", 8}, {"chunk", 1}, {"delay", 14}}},
            {"slow", {{"mode", "trickle"}, {"size", 3000}, {"chunk", 200}, {"delay", 5}}}});
    std::string slow;
    std::chrono::steady_clock::duration slowTook{};
    std::thread beside([&] {
        const auto start = std::chrono::steady_clock::now();
        slow = failure([&] { fetch(u"slow", folder / "slow", nullptr, {}); });
        slowTook = std::chrono::steady_clock::now() - start;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { fetch(u"drip", folder / "drip", nullptr, {}); }), interrupted);
    const auto took = std::chrono::steady_clock::now() - start;
    beside.join();
    // The minute, then at most one read's wait past it; a self-test ends within two minutes.
    EXPECT_GT(took, std::chrono::seconds(59));
    EXPECT_LT(took, std::chrono::seconds(100));
    EXPECT_GT(fs::file_size(folder / "drip"), 0u);
    EXPECT_EQ(slow, "no failure");
    EXPECT_GT(slowTook, std::chrono::seconds(60));
    EXPECT_EQ(fs::file_size(folder / "slow"), 3000u);
}
