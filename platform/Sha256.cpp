#include "platform/Sha256.h"

#include <cstdint>
#include <new>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace platform {

namespace {

const std::size_t kDigestSize = 32;

std::string toHex(const unsigned char* digest, std::size_t size) {
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0f]);
    }
    return text;
}

}  // namespace

#if defined(_WIN32)

// A reusable CNG hash object: finishing it makes it ready for the next digest.
struct Sha256::State {
    State() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            throw std::bad_alloc();
        if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG))) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
            throw std::bad_alloc();
        }
    }
    ~State() {
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    // Drops what was fed so far.
    void restart() {
        unsigned char scratch[kDigestSize];
        BCryptFinishHash(hash, scratch, sizeof scratch, 0);
    }

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : m_state(new State) {}

void Sha256::reset() { m_state->restart(); }

void Sha256::update(const void* data, std::size_t size) {
    // BCryptHashData takes at most 4 GiB - 1 per call.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        BCryptHashData(m_state->hash, const_cast<PUCHAR>(bytes), piece, 0);
        bytes += piece;
        size -= piece;
    }
}

std::string Sha256::finishHex() {
    unsigned char digest[kDigestSize];
    BCryptFinishHash(m_state->hash, digest, sizeof digest, 0);  // also readies the next digest
    return toHex(digest, sizeof digest);
}

#else

struct Sha256::State {
    State() : context(EVP_MD_CTX_new()) {
        if (!context) throw std::bad_alloc();
    }
    ~State() { EVP_MD_CTX_free(context); }
    EVP_MD_CTX* context;
};

Sha256::Sha256() : m_state(new State) { reset(); }

void Sha256::reset() { EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr); }

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) EVP_DigestUpdate(m_state->context, data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->context, digest, &length);
    reset();
    return toHex(digest, length);
}

#endif

Sha256::~Sha256() = default;

}  // namespace platform
