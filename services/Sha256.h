#pragma once
#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace kestrup_services {

// SHA-256 over bytes fed in pieces (OpenSSL EVP). Not thread-safe; one per transfer.
class Sha256 {
public:
    Sha256();  // ready for update()
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything fed since the last reset, as 64 lower-case hex
    // digits; the hasher is reset afterwards.
    std::string finishHex();
    void reset();

private:
    EVP_MD_CTX* m_context;  // owned
};

// True for exactly 64 hexadecimal digits (either case).
bool isSha256Hex(const std::string& text);
// Equal hexadecimal digests regardless of letter case.
bool sameHexDigest(const std::string& a, const std::string& b);

}  // namespace kestrup_services
