#include "Sha256.h"

#include <cctype>
#include <new>

#include <openssl/evp.h>

namespace kestrup_services {

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    if (!m_context) throw std::bad_alloc();
    reset();
}

Sha256::~Sha256() { EVP_MD_CTX_free(m_context); }

void Sha256::reset() { EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr); }

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) EVP_DigestUpdate(m_context, data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0f]);
    }
    reset();
    return text;
}

bool isSha256Hex(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool sameHexDigest(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrup_services
