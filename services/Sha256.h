#pragma once
#include <string>

#include "platform/Sha256.h"

namespace kestrup_services {

// The download's hasher: the platform's SHA-256 under the services' own name.
class Sha256 : public platform::Sha256 {};

// True for exactly 64 hexadecimal digits (either case).
bool isSha256Hex(const std::string& text);
// Equal hexadecimal digests regardless of letter case.
bool sameHexDigest(const std::string& a, const std::string& b);

}  // namespace kestrup_services
