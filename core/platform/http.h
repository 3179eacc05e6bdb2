// The download's transport: HTTPS GETs from the release server, WinHTTP on Windows, libcurl
// elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zolta_launcher::platform {

// One HTTPS GET from the release server in progress: the mechanism only. What the waits are,
// when a body is whole and what the player is told is the core's (download.cpp). httpClose
// releases what it holds in the reverse order of acquisition, whatever state it is in.
struct Http;
void httpClose(Http* http) noexcept;
struct HttpClose {
    void operator()(Http* http) const noexcept { httpClose(http); }
};
using HttpRequest = std::unique_ptr<Http, HttpClose>;

// The waits of a request's phases, in milliseconds, and the largest response head in bytes.
struct HttpLimits {
    std::uint32_t resolve = 0;
    std::uint32_t connect = 0;
    std::uint32_t send = 0;
    std::uint32_t receive = 0; // the whole head from the request, and each read's wait
    std::uint32_t head = 0;
};

// What ended a request call that failed, by kind; thrown as the value itself. The core words it.
enum class HttpFailure {
    init,      // the request could not be set up
    connect,   // resolution, connection, TLS, sending or the head failed or took too long
    read,      // a read failed or its wait ran out
    cancelled, // the cancel flag ended a wait
};

// Sends GET path to the release host and receives the response headers. Every wait of the
// request, name resolution and its reads included, keeps to limits and ends by deadline (on the
// milliseconds clock; 0: none). A *cancel (may be null) that becomes set during the request ends
// whatever wait it meets, here or in httpRead; one already set when the call begins does not,
// so the response is still tested. A head larger than limits.head fails. Throws HttpFailure.
HttpRequest httpGet(const std::u16string& path, const HttpLimits& limits, std::uint64_t deadline,
                    const std::atomic<bool>* cancel);

// How a response marks the end of its body.
enum class HttpFraming { length, chunked, none };

// What the response head says.
struct HttpHead {
    std::uint32_t status = 0; // 0 when it cannot be read
    std::uint32_t length = 0; // the announced Content-Length; 0 when none or unreadable
    HttpFraming framing = HttpFraming::none;
    std::string coding; // every Content-Encoding value, joined by commas; empty: none
};
HttpHead httpHead(Http& http);

// Reads at most size body bytes into buffer, no more than have arrived. Returns 0 once the
// transfer has ended without a fault: the announced length reached or a clean close before it,
// the last chunk read, or, for a body framed by neither, the connection closed (proven or not:
// see httpCloseNotified). Otherwise throws HttpFailure::read or, once the flag ends the wait,
// HttpFailure::cancelled (a read that a cancel ends may give either).
std::size_t httpRead(Http& http, char* buffer, std::size_t size);

// Whether the server's TLS close_notify has arrived; false where the platform cannot tell.
[[nodiscard]] bool httpCloseNotified(Http& http);

} // namespace zolta_launcher::platform
