#pragma once
// Ed25519 keys and detached signatures of update feeds, in their text forms.
//
//   public key   base64 of the 32-byte key, on one line (a key file may add lines
//                starting with '#')
//   secret key   base64 of libsodium's 64-byte secret key, the same way
//   signature    FEED.sig beside the feed, two lines:
//                  <base64 of the 64-byte signature over the feed's exact bytes>
//                  key-id <the signing key's id>
//   key id       16 hex digits: the start of the key's BLAKE2b hash. It names the
//                key in messages and picks the trusted key to verify with.
//
// Every function is thread-safe; libsodium is initialised on first use.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrup_services {

struct FeedPublicKey {
    std::array<unsigned char, 32> bytes{};
    std::string id;
};

struct FeedSecretKey {
    std::array<unsigned char, 64> bytes{};  // the public key is its second half
    std::string id;
};

struct FeedSignature {
    std::array<unsigned char, 64> bytes{};
    std::string keyId;
};

// A key file or signature file larger than this is refused unread (a signature
// file is about 110 bytes; the limit leaves room for comments).
const uint64_t kMaxFeedSignatureBytes = 4096;

// False when libsodium cannot be initialised (no usable random source).
bool sodiumReady();

// Text forms. parse* return false with `error` saying what is wrong; the output is
// then untouched.
bool parseFeedPublicKey(const std::string& text, FeedPublicKey& key, std::string& error);
bool parseFeedSecretKey(const std::string& text, FeedSecretKey& key, std::string& error);
bool parseFeedSignature(const std::string& text, FeedSignature& signature, std::string& error);
std::string formatFeedPublicKey(const FeedPublicKey& key);  // one line, no '\n'
std::string formatFeedSecretKey(const FeedSecretKey& key);  // one line, no '\n'
std::string formatFeedSignature(const FeedSignature& signature);  // both lines, '\n' after each

// A key given in a setting or on a command line: the key itself, or else the path
// of a public key file (read here, at most kMaxFeedSignatureBytes).
bool loadFeedPublicKey(const std::string& keyOrFile, FeedPublicKey& key, std::string& error);
// Reads a whole small file (at most kMaxFeedSignatureBytes); false with `error`.
bool readSmallFile(const std::string& path, std::string& text, std::string& error);

// A new key pair from the system's random source; false when there is none.
bool generateFeedKeyPair(FeedPublicKey& publicKey, FeedSecretKey& secretKey);
FeedPublicKey publicKeyOf(const FeedSecretKey& secretKey);
FeedSignature signFeed(const std::string& feed, const FeedSecretKey& key);

// Checks `signature` over `feed` against the trusted keys: true with `signer` set to
// the key that made it; false with `error` saying whether the key is not trusted or
// the signature does not match the feed.
bool verifyFeedSignature(const std::string& feed, const FeedSignature& signature,
                         const std::vector<FeedPublicKey>& trusted, std::string& signer, std::string& error);

}  // namespace kestrup_services
