#pragma once
// UTF-8 <-> UTF-16 helpers behind MultiByteToWideChar and ShellExecuteExW on
// systems without the Win32 API. Pure functions; safe from any thread.
#if !defined(_WIN32)

#include <cstddef>
#include <string>

namespace platform {

// Decodes `size` bytes of UTF-8. Each maximal invalid sequence (stray continuation
// byte, truncated or overlong sequence, encoded surrogate, value above U+10FFFF)
// becomes one U+FFFD; `invalidFound` (when given) tells whether that happened.
std::u16string utf8ToUtf16(const char* text, std::size_t size, bool* invalidFound = nullptr);

// Encodes NUL-terminated UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
// A null pointer gives "".
std::string utf16ToUtf8(const char16_t* text);

}  // namespace platform

#endif  // !_WIN32
