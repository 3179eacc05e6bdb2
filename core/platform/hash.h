// SHA-256 digests: CNG on Windows, OpenSSL elsewhere. The core reads the file and writes the hex.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

namespace zolta_launcher::platform {

// One SHA-256 digest in progress. digestClose releases what it holds, whatever state it is in.
struct Digest;
void digestClose(Digest* digest) noexcept;
struct DigestClose {
    void operator()(Digest* digest) const noexcept { digestClose(digest); }
};
using DigestHandle = std::unique_ptr<Digest, DigestClose>;

// The platform's SHA-256 algorithm, ready for digestBegin; null when the platform has none.
DigestHandle digestOpen();

// Begins the digest; false when it cannot.
[[nodiscard]] bool digestBegin(Digest& digest);

// Adds size bytes from data; false when it cannot.
[[nodiscard]] bool digestUpdate(Digest& digest, const char* data, std::size_t size);

// Ends the digest and gives its 32 bytes; false when it cannot.
[[nodiscard]] bool digestEnd(Digest& digest, std::array<unsigned char, 32>& out);

} // namespace zolta_launcher::platform
