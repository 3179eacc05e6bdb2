// The core's platform seam: the few calls that differ between Windows and Linux.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace zolta_launcher::platform {

// Strict UTF-8 to UTF-16. False for text that is not well-formed UTF-8 (NUL bytes convert).
[[nodiscard]] bool utf16(const std::string& text, std::u16string& out);

// UTF-16 to UTF-8 with U+FFFD for every unpaired surrogate.
std::string utf8(const std::u16string& text);

// Milliseconds since the system started, on a clock that never goes back.
std::uint64_t milliseconds();

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

// Renames the folder from to to on one volume. Never replaces or merges into anything that
// already exists at to: that, like every other failure, sets ec and leaves both as they were.
void moveFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                std::error_code& ec);

// Removes path and everything below it. A link (on Windows any reparse point, a junction too)
// is removed as itself and never entered; a read-only file or folder is made writable first.
// Goes on past a failure to remove what it can; ec holds the first failure. A missing path is
// no failure.
void removeTree(const std::filesystem::path& path, std::error_code& ec);

// Whether a move or removal failed only because another program (a virus scanner, the indexer)
// holds, for now, a file it needs, so that it may go through when tried again shortly.
[[nodiscard]] bool transient(const std::error_code& ec);

// The type of the entry at path itself, never of what a link leads to; on Windows every reparse
// point (a symbolic link, a junction) is a symlink. not_found when there is none; none with ec
// set when it cannot be told.
std::filesystem::file_type entryType(const std::filesystem::path& path, std::error_code& ec);

// The current process id.
std::uint32_t processId();

} // namespace zolta_launcher::platform

// --- Files by path, with 64-bit offsets ---

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace zolta_launcher::platform {

// The form of path that the file functions take at any length. On Windows the absolute,
// normalised extended-length form ("\\?\C:\...", "\\?\UNC\server\share\..."), which has
// the file system's limit and not MAX_PATH; a path already in that form (or a device path) is
// returned unchanged, and one that cannot be made absolute too. Elsewhere path itself.
std::filesystem::path longPath(const std::filesystem::path& path);

// Creates folder and every missing parent; an existing folder is accepted. Throws the file-system
// library's error when it cannot.
void makeFolders(const std::filesystem::path& folder);

// fopen with the given mode, by the file's wide name on Windows; null when it cannot be opened.
std::FILE* openFile(const std::filesystem::path& file, const char* mode);

// Moves the stream to a byte offset from its start; false when it cannot.
[[nodiscard]] bool seekFile(std::FILE* file, std::uint64_t offset);

// The stream's length, found by seeking to its end; false when it cannot be found.
[[nodiscard]] bool fileSize(std::FILE* file, std::uint64_t& size);

} // namespace zolta_launcher::platform
