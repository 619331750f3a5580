#pragma once
#include <string>

namespace kestrup_services {

// Name used when a URL yields nothing usable ("http://host/" or "http://host/...").
extern const char* const kFallbackFileName;  // "download.bin"

// The file name a download of `url` is saved under: the last segment of the URL's
// path, percent-decoded, then cleaned by cleanFileName. Query and fragment are not
// part of it. Never empty, never a path.
std::string safeFileNameFromUrl(const std::string& url);

// Makes a decoded name safe to create inside a folder: keeps only what follows the
// last '/' or '\\', drops NUL and other control characters, strips leading dots and
// blanks (no hidden files, no "." or "..") and trailing dots and blanks, and cuts it
// to 200 bytes without splitting a UTF-8 sequence. Empty results become
// kFallbackFileName.
std::string cleanFileName(const std::string& decoded);

// Percent-decoding; a '%' not followed by two hex digits stays as it is.
std::string percentDecode(const std::string& text);

}  // namespace kestrup_services
