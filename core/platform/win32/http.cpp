// HTTPS through WinHTTP, one asynchronous session per request. Each call is started and then
// awaited in short slices that watch the cancel flag and the deadline: closing the request handle
// is what ends a call in progress, which a blocking call in a synchronous session would not allow.
// The body is read ahead into a ring by a chain of calls that each completion starts, on whatever
// thread WinHTTP completes it: the caller's reads take from the ring and wait only when it is
// empty, so a read costs no round trip through WinHTTP's threads while data keeps arriving.
#include "platform/http.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <windows.h>
#include <winhttp.h>

namespace zolta_launcher::platform {

namespace {

constexpr DWORD slice = 100; // how often a wait looks at the flag and the clock
constexpr std::size_t ringSize = 256 * 1024;
// A reader that finds the ring empty sleeps until this much has come, or gather has passed: one
// wake per record would cost more than the record. After a gather with nothing, the first byte.
constexpr std::size_t batch = 65536;
constexpr DWORD gather = 10;

// Where the read-ahead stands.
enum class Body { running, ended, failed };

// Where the one call of the read-ahead in flight stands, between its caller and its callback:
// whichever of the two comes second goes on with the chain.
enum class Call { started, completed, returned };

} // namespace

// Shared by the caller and WinHTTP: the request handle's callbacks may still arrive after the
// handle is closed, up to WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, which releases WinHTTP's share.
struct Http {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    std::uint64_t deadline = 0;                // the caller's bound on every wait; 0: none
    HttpLimits limits;                         // the waits of the phases and the head's size
    const std::atomic<bool>* cancel = nullptr; // watched by every wait; null: none
    HANDLE done = nullptr; // set by the callback when the call in progress has completed, and
                           // by the read-ahead for a waiting reader
    DWORD completion = 0;  // the WINHTTP_CALLBACK_STATUS_* that completed it
    DWORD count = 0;       // bytes available or read
    std::atomic<std::uint64_t> sent{0}; // when the request had been sent; 0: not yet
    std::atomic<int> owners{1};

    // The read-ahead. The reader alone advances taken, the chain alone filled; each reads the
    // other's count to know what it may touch. Reads land in the ring, not in the caller's
    // buffer: a read that a close cuts short may still complete after the caller has gone.
    std::atomic<bool> reading{false}; // the chain has begun: completions are its
    std::atomic<Body> body{Body::running};
    std::atomic<Call> call{Call::started};
    std::atomic<std::uint64_t> filled{0};
    std::atomic<std::uint64_t> taken{0};
    std::atomic<bool> parked{false};    // the chain stopped on a full ring; the reader resumes it
    std::atomic<bool> waiting{false};   // the reader waits on done for data or the end
    std::atomic<std::uint64_t> want{0}; // bytes ready at which a waiting reader is woken
    std::atomic<bool> closing{false};   // no call may start: the handle is being closed
    std::atomic<int> calls{0};          // calls on the handle under way in the chain
    char ring[ringSize];

    ~Http() {
        if (done) CloseHandle(done);
    }
};

namespace {

void release(Http* http) noexcept {
    if (http->owners.fetch_sub(1) == 1) delete http;
}

void chain(Http& http, DWORD status, DWORD count) noexcept;

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                       DWORD length) {
    auto* http = reinterpret_cast<Http*>(context);
    if (!http) return;
    if (http->reading && (status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE ||
                          status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE ||
                          status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)) {
        http->completion = status;
        http->count = status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE
                          ? (information ? *static_cast<DWORD*>(information) : 0)
                          : length;
        // Completed within the call that started it, or on another thread before that call
        // returned: the chain's caller goes on.
        if (http->call.exchange(Call::completed) == Call::returned)
            chain(*http, http->completion, http->count);
        return;
    }
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        release(http);
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        http->sent = GetTickCount64();
        return;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        http->count = information ? *static_cast<DWORD*>(information) : 0;
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        http->count = length;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        break;
    default:
        return;
    }
    http->completion = status;
    SetEvent(http->done);
}

// A wait of at most ms that ends by the deadline; never 0, which WinHTTP takes as no limit.
DWORD bounded(const Http& http, DWORD ms) {
    if (http.deadline == 0) return ms;
    const std::uint64_t now = GetTickCount64();
    const std::uint64_t left = now < http.deadline ? http.deadline - now : 1;
    return static_cast<DWORD>(std::min<std::uint64_t>(ms, left));
}

enum class Ended { completed, stopped, late };

// Waits for the call just started, until limit (milliseconds clock; 0: none) or the cancel flag;
// with head, also until the receive wait has passed since the request was sent. On completed,
// completion names how it ended.
Ended await(Http& http, std::uint64_t limit, bool head = false) {
    for (;;) {
        std::uint64_t end = limit;
        const std::uint64_t sent = http.sent.load();
        if (head && sent != 0)
            end = end == 0 ? sent + http.limits.receive : std::min(end, sent + http.limits.receive);
        DWORD wait = slice;
        if (end != 0) {
            const std::uint64_t now = GetTickCount64();
            if (now >= end) return Ended::late;
            wait = static_cast<DWORD>(std::min<std::uint64_t>(wait, end - now));
        }
        if (WaitForSingleObject(http.done, wait) == WAIT_OBJECT_0) return Ended::completed;
        if (http.cancel && http.cancel->load()) return Ended::stopped;
    }
}

// The earlier of the deadline and ms from now.
std::uint64_t within(const Http& http, DWORD ms) {
    const std::uint64_t limit = GetTickCount64() + ms;
    return http.deadline == 0 ? limit : std::min(limit, http.deadline);
}

// Throws failure unless ok.
void expect(bool ok, HttpFailure failure) {
    if (!ok) throw failure;
}

// Wakes the reader if it waits.
void wake(Http& http) noexcept {
    if (http.waiting.exchange(false)) SetEvent(http.done);
}

void finish(Http& http, Body body) noexcept {
    http.body = body;
    wake(http);
}

// Room left in the ring.
std::size_t room(const Http& http) noexcept {
    return ringSize - static_cast<std::size_t>(http.filled - http.taken);
}

// The read-ahead: goes on from the completion of its last call (status 0: none, to begin or
// resume) by starting the next, and on from each that completes before its start has returned,
// until one is left in flight, the ring is full or the body has ended. Asks only what WinHTTP
// reports as arrived: a read asked for more waits until its whole buffer is full.
void advance(Http& http, DWORD status, DWORD count) noexcept {
    for (;;) {
        bool query = true;
        DWORD ask = 0;
        if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
            finish(http, Body::failed);
            return;
        }
        if (status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE ||
            status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
            if (count == 0) {
                finish(http, Body::ended);
                return;
            }
            if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
                http.filled += count;
                if (http.waiting && http.filled - http.taken >= http.want) wake(http);
            } else {
                query = false;
                const std::size_t at = http.filled % ringSize;
                ask = static_cast<DWORD>(std::min<std::size_t>({count, room(http), ringSize - at}));
            }
        }
        if (query && room(http) == 0) {
            // The reader resumes the chain once it has taken some, unless it already has.
            http.parked = true;
            if (room(http) == 0 || !http.parked.exchange(false)) return;
        }
        http.call = Call::started;
        const BOOL started =
            query ? WinHttpQueryDataAvailable(http.request, nullptr)
                  : WinHttpReadData(http.request, http.ring + http.filled % ringSize, ask, nullptr);
        if (!started) {
            finish(http, Body::failed);
            return;
        }
        if (http.call.exchange(Call::returned) != Call::completed) return;
        status = http.completion;
        count = http.count;
    }
}

// The chain stops once the handle is being closed: it may already be closed, and its value
// given to another. httpClose waits for a chain under way to leave.
void chain(Http& http, DWORD status, DWORD count) noexcept {
    http.calls += 1;
    if (!http.closing) advance(http, status, count);
    http.calls -= 1;
}

} // namespace

void httpClose(Http* http) noexcept {
    if (!http) return;
    // Not for long: the chain's calls return at once, its WinHTTP being asynchronous.
    http->closing = true;
    while (http->calls != 0) SwitchToThread();
    if (http->request) WinHttpCloseHandle(http->request);
    if (http->connection) WinHttpCloseHandle(http->connection);
    if (http->session) WinHttpCloseHandle(http->session);
    release(http);
}

HttpRequest httpGet(const std::u16string& path, const HttpLimits& limits, std::uint64_t deadline,
                    const std::atomic<bool>* cancel) {
    HttpRequest http(new Http);
    http->deadline = deadline;
    http->limits = limits;
    // A flag already set does not stop the request: its response is still tested.
    if (cancel && !cancel->load()) http->cancel = cancel;
    http->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    expect(http->done != nullptr, HttpFailure::init);
    http->session = WinHttpOpen(L"OrbelLauncher/0.2.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    expect(http->session != nullptr, HttpFailure::init);
    // Not examined: without them the platform's own time-outs apply.
    WinHttpSetTimeouts(http->session, static_cast<int>(bounded(*http, limits.resolve)),
                       static_cast<int>(bounded(*http, limits.connect)),
                       static_cast<int>(bounded(*http, limits.send)),
                       static_cast<int>(bounded(*http, limits.receive)));
    http->connection =
        WinHttpConnect(http->session, L"" RELEASE_HOST, INTERNET_DEFAULT_HTTPS_PORT, 0);
    expect(http->connection != nullptr, HttpFailure::init);
    http->request = WinHttpOpenRequest(
        http->connection, L"GET", reinterpret_cast<const wchar_t*>(path.c_str()), nullptr,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    expect(http->request != nullptr, HttpFailure::init);
    // From here WinHTTP holds a share, which its HANDLE_CLOSING callback gives back; that
    // callback comes only for a handle with a context.
    Http* context = http.get();
    expect(WinHttpSetOption(http->request, WINHTTP_OPTION_CONTEXT_VALUE, &context,
                            sizeof context) != FALSE,
           HttpFailure::init);
    expect(WinHttpSetStatusCallback(http->request, onStatus,
                                    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                        WINHTTP_CALLBACK_FLAG_HANDLES |
                                        WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                    0) != WINHTTP_INVALID_STATUS_CALLBACK,
           HttpFailure::init);
    http->owners.fetch_add(1);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(http->request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    // A head that grows without end fails at this size, not when memory runs out.
    DWORD headSize = limits.head;
    WinHttpSetOption(http->request, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headSize,
                     sizeof headSize);
    // WinHTTP's own wait for the whole head, 90 s by default, gets the receive wait; the wait
    // below bounds the head the same way wherever WinHTTP receives it.
    DWORD headWait = bounded(*http, limits.receive);
    WinHttpSetOption(http->request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait,
                     sizeof headWait);

    const BOOL sent =
        WinHttpSendRequest(http->request, L"Cache-Control: no-cache\r\n", static_cast<DWORD>(-1),
                           WINHTTP_NO_REQUEST_DATA, 0, 0, reinterpret_cast<DWORD_PTR>(context));
    expect(sent != FALSE, HttpFailure::connect);
    // WinHTTP's own waits bound these phases; this bounds them wherever it applies them. Some
    // WinHTTPs receive the head before the send completes: its wait counts from the request.
    Ended ended = await(*http, within(*http, limits.resolve + limits.connect + limits.send), true);
    expect(ended != Ended::stopped, HttpFailure::cancelled);
    expect(ended == Ended::completed &&
               http->completion == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE,
           HttpFailure::connect);
    // The whole head within the receive wait from the request, however it dribbles in.
    expect(WinHttpReceiveResponse(http->request, nullptr) != FALSE, HttpFailure::connect);
    if (http->sent == 0) http->sent = GetTickCount64();
    ended = await(*http, deadline, true);
    expect(ended != Ended::stopped, HttpFailure::cancelled);
    expect(ended == Ended::completed &&
               http->completion == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE,
           HttpFailure::connect);
    return http;
}

namespace {

// A header's text; empty when there is none.
std::wstring header(Http& http, DWORD query) {
    wchar_t text[128] = {};
    DWORD size = sizeof text - sizeof text[0];
    if (!WinHttpQueryHeaders(http.request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    return text;
}

// Every value of a header that may come more than once, joined by commas, as ASCII ("?" for
// any other character). A value that cannot be read gives "?": no header passes unread.
std::string values(Http& http, DWORD query) {
    std::string all;
    for (DWORD index = 0, count = 0;; ++count) {
        DWORD size = 0;
        DWORD next = index;
        const BOOL empty = WinHttpQueryHeaders(http.request, query, WINHTTP_HEADER_NAME_BY_INDEX,
                                               WINHTTP_NO_OUTPUT_BUFFER, &size, &next);
        const DWORD error = empty ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_WINHTTP_HEADER_NOT_FOUND) return all;
        if (count > 0) all += ',';
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        if (!empty) {
            size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
            next = index;
            if (error != ERROR_INSUFFICIENT_BUFFER ||
                !WinHttpQueryHeaders(http.request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(),
                                     &size, &next))
                return all + '?';
        }
        if (next <= index) return all + '?';
        text.resize(empty ? 0 : size / sizeof(wchar_t));
        for (const wchar_t c : text) all += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
        index = next;
    }
}

} // namespace

HttpHead httpHead(Http& http) {
    HttpHead head;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (WinHttpQueryHeaders(http.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        head.status = status;
    head.coding = values(http, WINHTTP_QUERY_CONTENT_ENCODING);
    // An announced length (0 too) frames the body, and so does the chunked coding, whose last
    // chunk WinHTTP's decoder awaits. A failed query leaves 0: no length was announced.
    DWORD length = 0;
    size = sizeof length;
    if (WinHttpQueryHeaders(http.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        head.length = length;
        head.framing = HttpFraming::length;
        return head;
    }
    std::wstring coding = header(http, WINHTTP_QUERY_TRANSFER_ENCODING);
    for (wchar_t& c : coding)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (coding.find(L"chunked") != std::wstring::npos) head.framing = HttpFraming::chunked;
    return head;
}

std::size_t httpRead(Http& http, char* buffer, std::size_t size) {
    expect(http.deadline == 0 || GetTickCount64() < http.deadline, HttpFailure::read);
    if (!http.reading) {
        // Not examined: the chain's calls then wait their usual time. The wait below bounds
        // each read however long a call of the chain may wait.
        DWORD wait = bounded(http, http.limits.receive);
        WinHttpSetOption(http.request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
        http.reading = true;
        chain(http, 0, 0);
    }
    const std::uint64_t limit = within(http, http.limits.receive);
    std::uint64_t want = std::min(size, batch);
    for (;;) {
        // The state first: an end seen here comes after every byte the chain has filled.
        const Body body = http.body;
        const std::uint64_t taken = http.taken.load(std::memory_order_relaxed);
        const std::uint64_t ready = http.filled - taken;
        if (ready > 0) {
            std::size_t count = 0;
            while (count < size && count < ready) {
                const std::size_t at = (taken + count) % ringSize;
                const std::size_t piece = std::min(
                    {size - count, static_cast<std::size_t>(ready - count), ringSize - at});
                std::memcpy(buffer + count, http.ring + at, piece);
                count += piece;
            }
            http.taken = taken + count;
            if (http.parked.exchange(false)) chain(http, 0, 0);
            return count;
        }
        if (body == Body::ended) return 0;
        expect(body == Body::running, HttpFailure::read);
        const std::uint64_t now = GetTickCount64();
        expect(now < limit, HttpFailure::read);
        // Data or an end that comes between the flag and the wait sets the event; one before
        // the flag is seen by the test after it.
        http.want = want;
        http.waiting = true;
        if (http.filled - taken < want && http.body == Body::running)
            WaitForSingleObject(http.done, static_cast<DWORD>(std::min<std::uint64_t>(
                                               want > 1 ? gather : slice, limit - now)));
        http.waiting = false;
        want = 1;
        expect(!(http.cancel && http.cancel->load()) || http.filled != taken ||
                   http.body != Body::running,
               HttpFailure::cancelled);
    }
}

// WinHTTP tells no TLS close_notify from a bare TCP close.
bool httpCloseNotified(Http&) {
    return false;
}

} // namespace zolta_launcher::platform
