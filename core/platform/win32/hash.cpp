#include <windows.h>

#include <bcrypt.h>

#include "platform/hash.h"

#include <limits>

namespace zolta_launcher::platform {

struct Digest {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

void digestClose(Digest* digest) noexcept {
    if (!digest) return;
    if (digest->hash) BCryptDestroyHash(digest->hash);
    if (digest->provider) BCryptCloseAlgorithmProvider(digest->provider, 0);
    delete digest;
}

DigestHandle digestOpen() {
    DigestHandle digest(new Digest);
    if (BCryptOpenAlgorithmProvider(&digest->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
        return nullptr;
    return digest;
}

bool digestBegin(Digest& digest) {
    return BCryptCreateHash(digest.provider, &digest.hash, nullptr, 0, nullptr, 0, 0) >= 0;
}

bool digestUpdate(Digest& digest, const char* data, std::size_t size) {
    if (size > std::numeric_limits<ULONG>::max()) return false;
    // BCryptHashData only reads its input; its parameter is declared without const.
    auto bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(data));
    return BCryptHashData(digest.hash, bytes, static_cast<ULONG>(size), 0) >= 0;
}

bool digestEnd(Digest& digest, std::array<unsigned char, 32>& out) {
    return BCryptFinishHash(digest.hash, out.data(), static_cast<ULONG>(out.size()), 0) >= 0;
}

} // namespace zolta_launcher::platform
