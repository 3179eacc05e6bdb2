// The download's transport: HTTPS GETs from the release server, WinHTTP on Windows, libcurl
// elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zolta_launcher::platform {

// One HTTPS GET from the release server in progress. httpClose releases what it holds in the
// reverse order of acquisition, whatever state it is in.
struct Http;
void httpClose(Http* http) noexcept;
struct HttpClose {
    void operator()(Http* http) const noexcept { httpClose(http); }
};
using HttpRequest = std::unique_ptr<Http, HttpClose>;

// Sends GET path to the release host and receives the response headers. Every wait of the
// request, name resolution and its reads included, ends by deadline (on the milliseconds clock;
// 0: none). A *cancel (may be null) that becomes set during the request ends whatever wait it
// meets, here or in httpRead, with "Download cancelled. Your existing installation is
// unchanged."; one already set when the call begins does not, so the response is still tested.
// A head that grows past the platform's size limit fails. Otherwise throws "Cannot initialize
// secure download" or "Secure download failed. Check your connection and try again.".
HttpRequest httpGet(const std::u16string& path, std::uint64_t deadline,
                    const std::atomic<bool>* cancel);

// The response's status code; 0 when it cannot be read.
std::uint32_t httpStatus(Http& http);

// The announced Content-Length; 0 when there is none or it cannot be read.
std::uint32_t httpLength(Http& http);

// Reads at most size body bytes into buffer, no more than have arrived. Returns 0 only once the
// body's end is proven: the announced length reached, the last chunk read, or a body with neither
// ended by the TLS close_notify (with a length, a clean close before it also gives 0, for the
// caller's length test). Otherwise throws "Download interrupted. Please try again." or the cancel
// message of httpGet (a read that a cancel ends may give either: the caller tells a cancel by its
// flag).
std::size_t httpRead(Http& http, char* buffer, std::size_t size);

} // namespace zolta_launcher::platform
