#include "download.h"
#include "launcher_core.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "platform/http.h"
#include "platform/process.h"

namespace zolta_launcher {

namespace {

constexpr std::uint64_t memoryLimit = 65536;
constexpr std::uint64_t fileLimit = 536870912;
constexpr std::size_t bufferSize = 65536;
constexpr std::uint64_t eventInterval = 149; // events are more than 149 ms apart

nlohmann::json byteEvent(std::uint64_t received, std::uint32_t length) {
    if (length == 0) return {{"progress", 0.0}, {"received", mb(received)}, {"total", ""}};
    const double progress = static_cast<double>(received) * 100.0 / static_cast<double>(length);
    return {{"progress", progress}, {"received", mb(received)}, {"total", mb(length)}};
}

nlohmann::json finalEvent(std::uint64_t received) {
    return {{"progress", 100}, {"received", mb(received)}, {"total", mb(received)}};
}

// The request's waits (name resolution, connect, send, then each wait for data once connected)
// and the largest response head.
constexpr platform::HttpLimits limits{10000, 10000, 15000, 15000, 65536};

// The lowest rate of a body: fewer than rateBytes in rateWindow milliseconds ends it, however
// each read keeps within its own wait. Counted here over the reads, so it holds on every platform.
constexpr std::uint64_t rateBytes = 1024;
constexpr std::uint64_t rateWindow = 60000;

// The window of the lowest rate: when it began and what had been received by then.
struct Pace {
    std::uint64_t since = 0;
    std::uint64_t base = 0;
};

// Whether the body keeps its lowest rate at now; a window that has passed begins the next.
[[nodiscard]] bool keeps(Pace& pace, std::uint64_t now, std::uint64_t received) {
    if (now - pace.since < rateWindow) return true;
    if (received - pace.base < rateBytes) return false;
    pace = {now, received};
    return true;
}

bool isSet(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

// Fails with text, or as the cancel once the flag is set.
[[noreturn]] void fail(const std::atomic<bool>* cancel, const char* text) {
    throw std::runtime_error(isSet(cancel) ? sentences::cancelled : text);
}

const char* sentence(platform::HttpFailure failure) {
    switch (failure) {
    case platform::HttpFailure::init:
        return sentences::initFailed;
    case platform::HttpFailure::connect:
        return sentences::connectFailed;
    case platform::HttpFailure::cancelled:
        return sentences::cancelled;
    case platform::HttpFailure::read:
        break;
    }
    return sentences::interrupted;
}

// A transfer that fails once the flag is set was ended by the cancel, whichever wait's end
// came first (a stalled read's time-out, say): it is told as the cancel.
template <typename Step> auto transfer(const std::atomic<bool>* cancel, Step step) {
    try {
        return step();
    } catch (platform::HttpFailure failure) {
        fail(cancel, sentence(failure));
    }
}

// A body is whole only where its end is proven: the announced length (which the caller then
// tests), the last chunk, or for a body with neither the server's TLS close_notify. A bare TCP
// close, which anyone on the path can make, proves nothing.
[[nodiscard]] bool proven(platform::Http& request, const platform::HttpHead& head) {
    return head.framing != platform::HttpFraming::none || platform::httpCloseNotified(request);
}

// Whether every content coding in codings (comma-separated, in any case) is identity. No other
// was asked for and none is decoded: a body in one would be read as its coded bytes.
[[nodiscard]] bool identity(const std::string& codings) {
    constexpr std::string_view name = "identity";
    for (std::size_t at = 0; at <= codings.size();) {
        std::size_t end = codings.find(',', at);
        if (end == std::string::npos) end = codings.size();
        std::string_view token(codings.data() + at, end - at);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        const auto same = [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        };
        if (!token.empty() && !std::ranges::equal(token, name, same)) return false;
        at = end + 1;
    }
    return true;
}

} // namespace

std::string fetch(const std::u16string& name, const std::filesystem::path& destination,
                  std::atomic<bool>* cancel, ProgressCallback progress, std::uint32_t ms) {
    const bool toFile = !destination.empty();
    const std::uint64_t limit = toFile ? fileLimit : memoryLimit;
    const std::uint64_t deadline = ms == 0 ? 0 : platform::milliseconds() + ms;
    // Declared before the file, so the file is closed first on every exit.
    platform::HttpRequest request = transfer(
        cancel, [&] { return platform::httpGet(u"/zolta/" + name, limits, deadline, cancel); });
    const platform::HttpHead head = platform::httpHead(*request);
    require(head.status == 200 && identity(head.coding), sentences::notReturned);
    const std::uint32_t length = head.length;
    require(length <= limit, sentences::tooLarge);

    std::ofstream file;
    if (toFile) {
        file.open(destination, std::ios::binary | std::ios::trunc);
        require(file.is_open(), sentences::cannotCreate);
    }
    std::string result;
    const auto buffer = std::make_unique<char[]>(bufferSize);
    std::uint64_t received = 0;
    std::uint64_t lastEvent = 0;
    Pace pace{platform::milliseconds()};
    for (;;) {
        require(!isSet(cancel), sentences::cancelled);
        const std::size_t count = transfer(
            cancel, [&] { return platform::httpRead(*request, buffer.get(), bufferSize); });
        if (count == 0) {
            if (!proven(*request, head)) fail(cancel, sentences::interrupted);
            break;
        }
        received += count;
        require(received <= limit, sentences::tooLarge);
        if (toFile) {
            file.write(buffer.get(), static_cast<std::streamsize>(count));
            require(!file.fail(), sentences::cannotSave);
        } else {
            result.append(buffer.get(), count);
        }
        const std::uint64_t now = platform::milliseconds();
        if (!keeps(pace, now, received)) fail(cancel, sentences::interrupted);
        if (progress && now - lastEvent > eventInterval) {
            progress(byteEvent(received, length));
            lastEvent = now;
        }
    }
    if (length != 0 && received != length) fail(cancel, sentences::incomplete);
    if (progress) progress(finalEvent(received));
    return result;
}

std::string mb(std::uint64_t bytes) {
    // Exact below 2^53; to_chars rounds the exact value, ties to even, in no locale.
    const double value = static_cast<double>(bytes) * 0x1p-20;
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, end.ptr);
}

} // namespace zolta_launcher
