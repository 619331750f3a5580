#pragma once
// SHA-256 through the system's own implementation: OpenSSL's libcrypto on Linux,
// CNG (BCrypt) on Windows. Both give the same digests.
#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// SHA-256 over bytes fed in pieces. Not thread-safe; one per transfer.
class Sha256 {
public:
    Sha256();  // ready for update(); throws std::bad_alloc when no hasher can be made
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything fed since the last reset, as 64 lower-case hex
    // digits; the hasher is reset afterwards.
    std::string finishHex();
    void reset();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
