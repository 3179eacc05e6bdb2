#include "launcher_core.h"

#include <charconv>
#include <fstream>
#include <memory>
#include <stdexcept>

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

constexpr const char* cancelledText =
    "Download cancelled. Your existing installation is unchanged.";

bool isSet(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

// A transfer that fails once the flag is set was ended by the cancel, whichever wait's end
// came first (a stalled read's time-out, say): it is told as the cancel.
template <typename Step> auto transfer(const std::atomic<bool>* cancel, Step step) {
    try {
        return step();
    } catch (const std::runtime_error&) {
        require(!isSet(cancel), cancelledText);
        throw;
    }
}

} // namespace

std::string fetch(const std::u16string& name, const std::filesystem::path& destination,
                  std::atomic<bool>* cancel, ProgressCallback progress, std::uint32_t ms) {
    const bool toFile = !destination.empty();
    const std::uint64_t limit = toFile ? fileLimit : memoryLimit;
    const std::uint64_t deadline = ms == 0 ? 0 : platform::milliseconds() + ms;
    // Declared before the file, so the file is closed first on every exit.
    platform::HttpRequest request =
        transfer(cancel, [&] { return platform::httpGet(u"/zolta/" + name, deadline, cancel); });
    require(platform::httpStatus(*request) == 200,
            "The release server did not return the requested file.");
    const std::uint32_t length = platform::httpLength(*request);
    require(length <= limit, "Release exceeds the download size limit");

    std::ofstream file;
    if (toFile) {
        file.open(destination, std::ios::binary | std::ios::trunc);
        require(file.is_open(), "Cannot create the download file");
    }
    std::string result;
    const auto buffer = std::make_unique<char[]>(bufferSize);
    std::uint64_t received = 0;
    std::uint64_t lastEvent = 0;
    for (;;) {
        require(!isSet(cancel), cancelledText);
        const std::size_t count = transfer(
            cancel, [&] { return platform::httpRead(*request, buffer.get(), bufferSize); });
        if (count == 0) break;
        received += count;
        require(received <= limit, "Release exceeds the download size limit");
        if (toFile) {
            file.write(buffer.get(), static_cast<std::streamsize>(count));
            require(!file.fail(), "Cannot save download. Check available disk space.");
        } else {
            result.append(buffer.get(), count);
        }
        const std::uint64_t now = platform::milliseconds();
        if (progress && now - lastEvent > eventInterval) {
            progress(byteEvent(received, length));
            lastEvent = now;
        }
    }
    if (length != 0 && received != length) {
        require(!isSet(cancel), cancelledText);
        throw std::runtime_error("Download is incomplete");
    }
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
