// HTTPS through WinHTTP, one synchronous session per request.
#include "launcher_core.h"
#include "platform/platform.h"

#include <algorithm>
#include <stdexcept>

#include <windows.h>
#include <winhttp.h>

namespace zolta_launcher::platform {

namespace {

constexpr const char* initFailed = "Cannot initialize secure download";
constexpr const char* readFailed = "Download interrupted. Please try again.";
constexpr const char* connectFailed =
    "Secure download failed. Check your connection and try again.";
constexpr const char* cancelled = "Download cancelled. Your existing installation is unchanged.";
constexpr DWORD resolveTimeout = 10000;
constexpr DWORD connectTimeout = 10000;
constexpr DWORD sendTimeout = 15000;
constexpr DWORD receiveTimeout = 15000;

} // namespace

struct Http {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    std::uint64_t deadline = 0; // the caller's bound on every wait; 0: none
};

namespace {

// A wait of at most ms that ends by the deadline; never 0, which WinHTTP takes as no limit.
DWORD bounded(const Http& http, DWORD ms) {
    if (http.deadline == 0) return ms;
    const std::uint64_t now = GetTickCount64();
    const std::uint64_t left = now < http.deadline ? http.deadline - now : 1;
    return static_cast<DWORD>(std::min<std::uint64_t>(ms, left));
}

} // namespace

std::uint64_t milliseconds() {
    return GetTickCount64();
}

void httpClose(Http* http) noexcept {
    if (!http) return;
    if (http->request) WinHttpCloseHandle(http->request);
    if (http->connection) WinHttpCloseHandle(http->connection);
    if (http->session) WinHttpCloseHandle(http->session);
    delete http;
}

// WinHTTP's blocking calls cannot watch the cancel flag: it is looked at between them only.
HttpRequest httpGet(const std::u16string& path, std::uint64_t deadline,
                    const std::atomic<bool>* cancel) {
    HttpRequest http(new Http);
    http->deadline = deadline;
    const bool watch = cancel && !cancel->load();
    http->session = WinHttpOpen(L"OrbelLauncher/0.2.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    require(http->session != nullptr, initFailed);
    // Not examined: without them the platform's own time-outs apply.
    WinHttpSetTimeouts(http->session, static_cast<int>(bounded(*http, resolveTimeout)),
                       static_cast<int>(bounded(*http, connectTimeout)),
                       static_cast<int>(bounded(*http, sendTimeout)),
                       static_cast<int>(bounded(*http, receiveTimeout)));
    http->connection =
        WinHttpConnect(http->session, L"" RELEASE_HOST, INTERNET_DEFAULT_HTTPS_PORT, 0);
    require(http->connection != nullptr, initFailed);
    http->request = WinHttpOpenRequest(
        http->connection, L"GET", reinterpret_cast<const wchar_t*>(path.c_str()), nullptr,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    require(http->request != nullptr, initFailed);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(http->request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    // The wait for the whole head has a limit of its own, 90 s by default and none in Wine: it
    // gets the receive wait, within what is left of the deadline once the request is sent. Wine
    // receives the head inside WinHttpSendRequest, on the value set before it, and applies it to
    // each receive; Windows receives it in WinHttpReceiveResponse, on the value set after.
    const auto responseWait = [&] {
        DWORD wait = bounded(*http, receiveTimeout);
        WinHttpSetOption(http->request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &wait,
                         sizeof wait);
    };
    responseWait();
    require(WinHttpSendRequest(http->request, L"Cache-Control: no-cache\r\n",
                               static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0),
            connectFailed);
    require(!(watch && cancel->load()), cancelled);
    require(deadline == 0 || milliseconds() < deadline, connectFailed);
    responseWait();
    require(WinHttpReceiveResponse(http->request, nullptr), connectFailed);
    return http;
}

std::uint32_t httpStatus(Http& http) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(http.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return status;
}

std::uint32_t httpLength(Http& http) {
    DWORD length = 0;
    DWORD size = sizeof length;
    // Not examined: a failed query leaves 0, which means no length was announced.
    WinHttpQueryHeaders(http.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX);
    return length;
}

std::size_t httpRead(Http& http, char* buffer, std::size_t size) {
    if (http.deadline != 0) {
        if (GetTickCount64() >= http.deadline) throw std::runtime_error(readFailed);
        // Not examined: the read then waits its usual time.
        DWORD wait = bounded(http, receiveTimeout);
        WinHttpSetOption(http.request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
        // Only what has arrived: Wine's read waits until the whole buffer is full, so a body
        // that trickles would hold a single read far past the deadline.
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(http.request, &available))
            throw std::runtime_error(readFailed);
        if (available == 0) return 0;
        size = std::min<std::size_t>(size, available);
    }
    DWORD count = 0;
    if (!WinHttpReadData(http.request, buffer, static_cast<DWORD>(size), &count))
        throw std::runtime_error(readFailed);
    return count;
}

} // namespace zolta_launcher::platform
