// HTTPS through libcurl, driven so that it behaves like a blocking client: httpGet returns once
// the response headers are complete, httpRead waits for the next piece of the body. curl's multi
// interface runs the transfer; its write callback parks what arrives until httpRead takes it.
#include "platform/http.h"
#include "platform/process.h"
#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <strings.h>

#include <curl/curl.h>
#include <openssl/ssl.h>

namespace zolta_launcher::platform {

namespace {

constexpr std::size_t pieceSize = 65536;

} // namespace

struct Http {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headers = nullptr;
    bool added = false;
    bool headersDone = false;
    bool done = false;
    bool paused = false;
    CURLcode result = CURLE_OK;
    std::string parked; // body bytes received and not yet read
    std::size_t taken = 0;
    std::uint64_t started = 0;                 // when the transfer began
    std::uint64_t deadline = 0;                // the caller's bound on every wait; 0: none
    HttpLimits limits;                         // the waits of the phases and the head's size
    std::size_t headSize = 0;                  // header bytes received so far
    const std::atomic<bool>* cancel = nullptr; // ends any wait once set; null: none
    bool chunked = false;                      // the response's body comes in chunks
    std::string coding;                        // the response's Content-Encoding values
    bool closeNotified = false;                // the server's TLS close_notify has arrived
};

namespace {

std::size_t onHeader(char* data, std::size_t, std::size_t size, void* user) {
    auto& http = *static_cast<Http*>(user);
    // curl's own bound on a head is far larger; a head that grows past this one fails at once.
    http.headSize += size;
    if (http.headSize > http.limits.head) return 0;
    const bool blank =
        (size == 2 && data[0] == '\r' && data[1] == '\n') || (size == 1 && data[0] == '\n');
    const std::string line(data, size);
    // Each response head of the transfer (an informational one first, say) begins afresh.
    if (line.starts_with("HTTP/")) {
        http.chunked = false;
        http.coding.clear();
    }
    static constexpr char transfer[] = "transfer-encoding:";
    if (size > sizeof transfer && strncasecmp(line.c_str(), transfer, sizeof transfer - 1) == 0 &&
        strcasestr(line.c_str(), "chunked") != nullptr)
        http.chunked = true;
    static constexpr char content[] = "content-encoding:";
    if (size >= sizeof content && strncasecmp(line.c_str(), content, sizeof content - 1) == 0) {
        const std::size_t first = line.find_first_not_of(" \t", sizeof content - 1);
        const std::size_t last = line.find_last_not_of(" \t\r\n");
        if (!http.coding.empty()) http.coding += ',';
        if (first != std::string::npos && last != std::string::npos && last >= first)
            http.coding += line.substr(first, last - first + 1);
    }
    if (blank) {
        long status = 0;
        curl_easy_getinfo(http.easy, CURLINFO_RESPONSE_CODE, &status);
        // An informational (1xx) block is followed by the real response's headers.
        if (status >= 200) http.headersDone = true;
    }
    return size;
}

std::size_t onBody(char* data, std::size_t, std::size_t size, void* user) {
    auto& http = *static_cast<Http*>(user);
    // Hold the transfer while a full piece waits; curl delivers this data again on resume.
    if (http.parked.size() - http.taken >= pieceSize) {
        http.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    http.parked.append(data, size);
    return size;
}

// Runs the transfer until ready() holds or it ends; false when until() passes first.
template <typename Until, typename Ready> bool drive(Http& http, Until until, Ready ready) {
    for (;;) {
        int running = 0;
        if (curl_multi_perform(http.multi, &running) != CURLM_OK) {
            http.done = true;
            http.result = CURLE_RECV_ERROR;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(http.multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            http.done = true;
            http.result = message->data.result;
        }
        if (ready() || http.done) return true;
        const std::uint64_t deadline = until();
        const std::uint64_t now = milliseconds();
        if (now >= deadline) return false;
        // Short slices: a cancel flag set meanwhile is seen soon.
        const auto wait = static_cast<int>(std::min<std::uint64_t>(deadline - now, 250));
        curl_multi_poll(http.multi, nullptr, 0, wait, nullptr);
    }
}

std::uint64_t bounded(const Http& http, std::uint64_t end) {
    return http.deadline == 0 ? end : std::min(end, http.deadline);
}

// When the wait for the response headers ends, phase by phase: resolution, then connect, then
// 15 s for the handshake and again once the request is sent. The whole head must arrive in that
// last wait: a header line now and then does not extend it.
std::uint64_t headerWait(const Http& http) {
    curl_off_t resolved = 0, connected = 0, sent = 0;
    curl_easy_getinfo(http.easy, CURLINFO_NAMELOOKUP_TIME_T, &resolved);
    curl_easy_getinfo(http.easy, CURLINFO_CONNECT_TIME_T, &connected);
    curl_easy_getinfo(http.easy, CURLINFO_PRETRANSFER_TIME_T, &sent);
    const auto at = [&](curl_off_t us) {
        return http.started + static_cast<std::uint64_t>(std::max<curl_off_t>(us, 0)) / 1000;
    };
    std::uint64_t end = http.started + http.limits.resolve;
    if (connected > 0)
        end = std::max(at(connected), at(sent)) + http.limits.receive;
    else if (resolved > 0)
        end = at(resolved) + http.limits.connect;
    return bounded(http, end);
}

int tlsSlot() {
    static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

void onTlsEvent(const SSL* ssl, int where, int value) {
    // The read bit matters: curl sends its own close_notify as it closes the connection.
    if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT || (value & 0xff) != SSL3_AD_CLOSE_NOTIFY)
        return;
    if (auto* http = static_cast<Http*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), tlsSlot())))
        http->closeNotified = true;
}

// curl takes a bare TCP close for the end of a body that has neither a length nor chunks, just
// as it takes close_notify, so the alert is watched here. Each request has a context of its own.
CURLcode onTlsContext(CURL*, void* context, void* user) {
    auto* tls = static_cast<SSL_CTX*>(context);
    if (tlsSlot() < 0 || SSL_CTX_set_ex_data(tls, tlsSlot(), user) != 1)
        return CURLE_SSL_CONNECT_ERROR;
    SSL_CTX_set_info_callback(tls, onTlsEvent);
    return CURLE_OK;
}

// The announced Content-Length; -1 when there is none.
curl_off_t announced(Http& http) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(http.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return -1;
    return length;
}

// Throws failure unless ok.
void expect(bool ok, HttpFailure failure) {
    if (!ok) throw failure;
}

[[nodiscard]] bool openssl() {
    const char* tls = curl_version_info(CURLVERSION_NOW)->ssl_version;
    return tls && std::strncmp(tls, "OpenSSL/", 8) == 0;
}

bool stopped(const Http& http) {
    return http.cancel && http.cancel->load();
}

template <typename T> void set(CURL* easy, CURLoption option, T value) {
    // Options that cannot be applied leave curl's default, which is never less strict.
    curl_easy_setopt(easy, option, value);
}

} // namespace

void httpClose(Http* http) noexcept {
    if (!http) return;
    if (http->added) curl_multi_remove_handle(http->multi, http->easy);
    if (http->multi) curl_multi_cleanup(http->multi);
    if (http->easy) curl_easy_cleanup(http->easy);
    curl_slist_free_all(http->headers);
    delete http;
}

HttpRequest httpGet(const std::u16string& path, const HttpLimits& limits, std::uint64_t deadline,
                    const std::atomic<bool>* cancel) {
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    static const bool strict = openssl();
    expect(global == CURLE_OK && strict, HttpFailure::init);
    HttpRequest http(new Http);
    http->easy = curl_easy_init();
    expect(http->easy != nullptr, HttpFailure::init);
    CURL* easy = http->easy;
    const std::string url = std::string("https://") + RELEASE_HOST + utf8(path);
    expect(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK, HttpFailure::init);
    set(easy, CURLOPT_PROTOCOLS_STR, "https");
    set(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(easy, CURLOPT_USERAGENT, "OrbelLauncher/0.2.0");
    // "Accept:" removes curl's own Accept header: no accepted types are sent.
    http->headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (http->headers) http->headers = curl_slist_append(http->headers, "Accept:");
    expect(http->headers != nullptr, HttpFailure::init);
    set(easy, CURLOPT_HTTPHEADER, http->headers);
    set(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // curl's own bound on the connection as a whole; headerWait's phases end sooner.
    set(easy, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(limits.resolve) + limits.connect + limits.receive);
    set(easy, CURLOPT_NOSIGNAL, 1L);
    // Cleanup otherwise joins the resolver thread, which can sit in a lookup for minutes after
    // the deadline or a cancel; it is left to end by itself and free what it holds.
    set(easy, CURLOPT_QUICK_EXIT, 1L);
    expect(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, onTlsContext) == CURLE_OK &&
               curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, http.get()) == CURLE_OK,
           HttpFailure::init);
    set(easy, CURLOPT_BUFFERSIZE, static_cast<long>(pieceSize));
    set(easy, CURLOPT_HEADERFUNCTION, onHeader);
    set(easy, CURLOPT_HEADERDATA, http.get());
    set(easy, CURLOPT_WRITEFUNCTION, onBody);
    set(easy, CURLOPT_WRITEDATA, http.get());
    http->parked.reserve(2 * pieceSize);
    http->multi = curl_multi_init();
    expect(http->multi != nullptr, HttpFailure::init);
    expect(curl_multi_add_handle(http->multi, easy) == CURLM_OK, HttpFailure::init);
    http->added = true;

    http->deadline = deadline;
    http->limits = limits;
    http->started = milliseconds();
    // A flag set during the request (the window closing) ends its waits; one already set still
    // lets the response be tested, and fetch stops before the first read.
    http->cancel = cancel && !cancel->load() ? cancel : nullptr;
    const bool inTime = drive(
        *http, [&] { return headerWait(*http); },
        [&] { return http->headersDone || stopped(*http); });
    expect(http->headersDone || !stopped(*http), HttpFailure::cancelled);
    // Once the headers are complete, what goes wrong belongs to the body and its reads.
    expect(inTime && http->headersDone, HttpFailure::connect);
    return http;
}

HttpHead httpHead(Http& http) {
    HttpHead head;
    long status = 0;
    if (curl_easy_getinfo(http.easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0 &&
        status < 1000)
        head.status = static_cast<std::uint32_t>(status);
    const curl_off_t length = announced(http);
    // A length beyond 32 bits is still a length: it stays above every limit.
    constexpr auto most = std::numeric_limits<std::uint32_t>::max();
    if (length > 0)
        head.length =
            length > static_cast<curl_off_t>(most) ? most : static_cast<std::uint32_t>(length);
    head.coding = http.coding;
    if (http.chunked)
        head.framing = HttpFraming::chunked;
    else if (length >= 0)
        head.framing = HttpFraming::length;
    return head;
}

std::size_t httpRead(Http& http, char* buffer, std::size_t size) {
    const std::uint64_t deadline = bounded(http, milliseconds() + http.limits.receive);
    if (http.parked.size() == http.taken && http.paused) {
        http.paused = false;
        curl_easy_pause(http.easy, CURLPAUSE_CONT); // hands the held data to onBody at once
    }
    const bool inTime = drive(
        http, [&] { return deadline; },
        [&] { return http.parked.size() > http.taken || stopped(http); });
    expect(!stopped(http), HttpFailure::cancelled);
    expect(inTime, HttpFailure::read);
    const std::size_t count = std::min(size, http.parked.size() - http.taken);
    if (count > 0) {
        std::memcpy(buffer, http.parked.data() + http.taken, count);
        http.taken += count;
        if (http.taken == http.parked.size()) {
            http.parked.clear();
            http.taken = 0;
        }
        return count;
    }
    // curl ends a body with neither a length nor chunks at any close, bare or not: the caller
    // asks httpCloseNotified.
    if (http.result == CURLE_OK) return 0;
    // The connection closed cleanly before the announced length: the body just ended, and the
    // caller's length test reports it. Without a length, a cut body must not pass as whole.
    if (http.result == CURLE_PARTIAL_FILE && announced(http) > 0) return 0;
    throw HttpFailure::read;
}

bool httpCloseNotified(Http& http) {
    return http.closeNotified;
}

} // namespace zolta_launcher::platform
