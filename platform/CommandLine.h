#pragma once
#include <string>
#include <vector>

namespace platform {

// Splits a Windows parameter string (everything after the program name) into
// arguments the way the Windows C runtime builds argv:
// - blanks and tabs outside quotes separate arguments; runs of them count as one;
// - a double quote starts or ends a quoted part and is dropped; inside a quoted
//   part, two double quotes in a row give one literal double quote;
// - 2n backslashes before a double quote give n backslashes (the quote then acts
//   as above); 2n+1 backslashes before one give n backslashes and a literal quote;
// - backslashes not followed by a double quote are literal.
// A quoted empty part ("") is an empty argument. Only ASCII bytes are special, so
// UTF-8 text passes through unchanged. Pure function; safe from any thread.
std::vector<std::string> splitCommandLine(const std::string& parameters);

}  // namespace platform
