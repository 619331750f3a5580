#include "FeedSignature.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sodium.h>

namespace kestrup_services {
namespace {

const char* const kKeyIdPrefix = "key-id ";

std::string trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const std::size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// The lines of `text` that are neither empty nor comments, trimmed.
std::vector<std::string> contentLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        line = trimmed(line);
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

template <std::size_t N>
bool decodeBase64(const std::string& text, std::array<unsigned char, N>& out) {
    std::array<unsigned char, N> bytes{};
    std::size_t length = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != N) {
        return false;
    }
    out = bytes;
    return true;
}

std::string encodeBase64(const unsigned char* bytes, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string keyIdOf(const unsigned char* publicKey) {
    unsigned char hash[crypto_generichash_BYTES_MIN];
    crypto_generichash(hash, sizeof(hash), publicKey, crypto_sign_PUBLICKEYBYTES, nullptr, 0);
    char hex[2 * 8 + 1];
    sodium_bin2hex(hex, sizeof(hex), hash, 8);
    return hex;
}

// The one content line of a key text.
bool singleLine(const std::string& text, std::string& line, std::string& error) {
    const std::vector<std::string> lines = contentLines(text);
    if (lines.size() != 1) {
        error = lines.empty() ? "it is empty" : "it has more than one line";
        return false;
    }
    line = lines.front();
    return true;
}

}  // namespace

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool parseFeedPublicKey(const std::string& text, FeedPublicKey& key, std::string& error) {
    std::string line;
    if (!singleLine(text, line, error)) return false;
    FeedPublicKey parsed;
    if (!sodiumReady() || !decodeBase64(line, parsed.bytes)) {
        error = "it is not a public key (base64 of 32 bytes)";
        return false;
    }
    parsed.id = keyIdOf(parsed.bytes.data());
    key = parsed;
    return true;
}

bool parseFeedSecretKey(const std::string& text, FeedSecretKey& key, std::string& error) {
    std::string line;
    if (!singleLine(text, line, error)) return false;
    FeedSecretKey parsed;
    if (!sodiumReady() || !decodeBase64(line, parsed.bytes)) {
        error = "it is not a secret signing key (base64 of 64 bytes)";
        return false;
    }
    parsed.id = keyIdOf(parsed.bytes.data() + crypto_sign_SEEDBYTES);
    key = parsed;
    return true;
}

bool parseFeedSignature(const std::string& text, FeedSignature& signature, std::string& error) {
    const std::vector<std::string> lines = contentLines(text);
    if (lines.size() != 2 || lines[1].compare(0, std::strlen(kKeyIdPrefix), kKeyIdPrefix) != 0) {
        error = "it is not a feed signature (a base64 line and a 'key-id' line)";
        return false;
    }
    FeedSignature parsed;
    if (!sodiumReady() || !decodeBase64(lines[0], parsed.bytes)) {
        error = "its first line is not a signature (base64 of 64 bytes)";
        return false;
    }
    parsed.keyId = trimmed(lines[1].substr(std::strlen(kKeyIdPrefix)));
    signature = parsed;
    return true;
}

std::string formatFeedPublicKey(const FeedPublicKey& key) { return encodeBase64(key.bytes.data(), key.bytes.size()); }

std::string formatFeedSecretKey(const FeedSecretKey& key) { return encodeBase64(key.bytes.data(), key.bytes.size()); }

std::string formatFeedSignature(const FeedSignature& signature) {
    return encodeBase64(signature.bytes.data(), signature.bytes.size()) + "\n" + kKeyIdPrefix + signature.keyId +
           "\n";
}

bool readSmallFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // One byte past the limit tells a file at the limit from a larger (or endless) one.
    std::string content(kMaxFeedSignatureBytes + 1, '\0');
    in.read(&content[0], static_cast<std::streamsize>(content.size()));
    if (in.bad() || (in.fail() && !in.eof())) {
        error = "cannot read " + path;
        return false;
    }
    if (static_cast<uint64_t>(in.gcount()) > kMaxFeedSignatureBytes) {
        error = path + " is larger than " + std::to_string(kMaxFeedSignatureBytes) + " bytes";
        return false;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    text = content;
    return true;
}

bool loadFeedPublicKey(const std::string& keyOrFile, FeedPublicKey& key, std::string& error) {
    std::string ignored;
    if (parseFeedPublicKey(keyOrFile, key, ignored)) return true;
    std::string text;
    if (!readSmallFile(keyOrFile, text, error)) {
        error = "'" + keyOrFile + "' is neither a public key nor a readable key file (" + error + ")";
        return false;
    }
    if (!parseFeedPublicKey(text, key, error)) {
        error = "the key file " + keyOrFile + " holds no public key: " + error;
        return false;
    }
    return true;
}

bool generateFeedKeyPair(FeedPublicKey& publicKey, FeedSecretKey& secretKey) {
    if (!sodiumReady()) return false;
    crypto_sign_keypair(publicKey.bytes.data(), secretKey.bytes.data());
    publicKey.id = keyIdOf(publicKey.bytes.data());
    secretKey.id = publicKey.id;
    return true;
}

FeedPublicKey publicKeyOf(const FeedSecretKey& secretKey) {
    FeedPublicKey key;
    crypto_sign_ed25519_sk_to_pk(key.bytes.data(), secretKey.bytes.data());
    key.id = secretKey.id;
    return key;
}

FeedSignature signFeed(const std::string& feed, const FeedSecretKey& key) {
    FeedSignature signature;
    crypto_sign_detached(signature.bytes.data(), nullptr, reinterpret_cast<const unsigned char*>(feed.data()),
                         feed.size(), key.bytes.data());
    signature.keyId = key.id;
    return signature;
}

bool verifyFeedSignature(const std::string& feed, const FeedSignature& signature,
                         const std::vector<FeedPublicKey>& trusted, std::string& signer, std::string& error) {
    for (const FeedPublicKey& key : trusted) {
        if (key.id != signature.keyId) continue;
        if (sodiumReady() &&
            crypto_sign_verify_detached(signature.bytes.data(), reinterpret_cast<const unsigned char*>(feed.data()),
                                        feed.size(), key.bytes.data()) == 0) {
            signer = key.id;
            return true;
        }
        error = "its signature by key " + key.id + " does not match the feed";
        return false;
    }
    error = "it is signed with key " + signature.keyId + ", which is not a trusted key";
    return false;
}

}  // namespace kestrup_services
