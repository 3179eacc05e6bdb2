#include "launcher_core.h"

#include <fstream>
#include <memory>
#include <vector>

#include <openssl/evp.h>

namespace zolta_launcher {

namespace {

struct FreeDigest {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

std::string sha256(const std::filesystem::path& file) {
    std::unique_ptr<EVP_MD, FreeDigest> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    require(md != nullptr, "SHA-256 unavailable");
    std::unique_ptr<EVP_MD_CTX, FreeDigest> context(EVP_MD_CTX_new());
    require(context && EVP_DigestInit_ex(context.get(), md.get(), nullptr) == 1,
            "Cannot initialize SHA-256");

    std::ifstream in(file, std::ios::binary);
    require(!in.fail(), "Cannot read downloaded archive");
    std::vector<char> buffer(65536);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto count = static_cast<std::size_t>(in.gcount());
        require(EVP_DigestUpdate(context.get(), buffer.data(), count) == 1, "SHA-256 failed");
    }
    require(in.eof() && !in.bad(), "Cannot read complete archive");

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    require(EVP_DigestFinal_ex(context.get(), digest, &length) == 1 && length == 32,
            "SHA-256 failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

} // namespace zolta_launcher
