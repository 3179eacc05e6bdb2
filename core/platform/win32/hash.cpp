#include <windows.h>

#include <bcrypt.h>

#include "launcher_core.h"

#include <fstream>
#include <vector>

namespace zolta_launcher {

namespace {

struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider() {
        if (handle) BCryptCloseAlgorithmProvider(handle, 0);
    }
};

struct Hash {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~Hash() {
        if (handle) BCryptDestroyHash(handle);
    }
};

} // namespace

std::string sha256(const std::filesystem::path& file) {
    Provider provider;
    require(BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0,
            "SHA-256 unavailable");
    Hash hash;
    require(BCryptCreateHash(provider.handle, &hash.handle, nullptr, 0, nullptr, 0, 0) >= 0,
            "Cannot initialize SHA-256");

    std::ifstream in(file, std::ios::binary);
    require(!in.fail(), "Cannot read downloaded archive");
    std::vector<char> buffer(65536);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto count = static_cast<ULONG>(in.gcount());
        require(BCryptHashData(hash.handle, reinterpret_cast<PUCHAR>(buffer.data()), count, 0) >= 0,
                "SHA-256 failed");
    }
    require(in.eof() && !in.bad(), "Cannot read complete archive");

    unsigned char digest[32];
    require(BCryptFinishHash(hash.handle, digest, sizeof digest, 0) >= 0, "SHA-256 failed");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace zolta_launcher
