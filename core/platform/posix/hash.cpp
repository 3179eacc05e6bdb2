#include "platform/hash.h"

#include <cstring>
#include <memory>

#include <openssl/evp.h>

namespace zolta_launcher::platform {

namespace {

struct FreeDigest {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

struct Digest {
    std::unique_ptr<EVP_MD, FreeDigest> md;
    std::unique_ptr<EVP_MD_CTX, FreeDigest> context;
};

void digestClose(Digest* digest) noexcept {
    delete digest;
}

DigestHandle digestOpen() {
    DigestHandle digest(new Digest);
    digest->md.reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!digest->md) return nullptr;
    return digest;
}

bool digestBegin(Digest& digest) {
    digest.context.reset(EVP_MD_CTX_new());
    return digest.context && EVP_DigestInit_ex(digest.context.get(), digest.md.get(), nullptr) == 1;
}

bool digestUpdate(Digest& digest, const char* data, std::size_t size) {
    return EVP_DigestUpdate(digest.context.get(), data, size) == 1;
}

bool digestEnd(Digest& digest, std::array<unsigned char, 32>& out) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.context.get(), bytes, &length) != 1 || length != out.size())
        return false;
    std::memcpy(out.data(), bytes, out.size());
    return true;
}

} // namespace zolta_launcher::platform
