#include "HttpHeaders.h"

#include <cstring>
#include <limits>
#include <string>

namespace kestrup_services {

namespace {

bool startsWithNoCase(const char* text, std::size_t length, const char* prefix) {
    const std::size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength) return false;
    for (std::size_t i = 0; i < prefixLength; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// Reads the decimal digits at `position`; false when there are none or the number
// does not fit (a wrapped offset could match the partial file by chance).
// `value` is written only on success.
bool parseUnsigned(const std::string& text, std::size_t position, uint64_t& value) {
    const std::size_t begin = position;
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    uint64_t number = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text[position] - '0');
        if (number > (limit - digit) / 10) return false;
        number = number * 10 + digit;
        ++position;
    }
    if (position == begin) return false;
    value = number;
    return true;
}

}  // namespace

bool isStatusLine(const char* line, std::size_t length) { return startsWithNoCase(line, length, "http/"); }

bool parseContentRange(const char* line, std::size_t length, ContentRange& range) {
    static const char kName[] = "content-range:";
    if (!startsWithNoCase(line, length, kName)) return false;
    range = ContentRange();
    const std::string value(line + sizeof kName - 1, length - (sizeof kName - 1));
    std::size_t position = value.find_first_not_of(" \t");
    if (position == std::string::npos || value.compare(position, 6, "bytes ") != 0) return true;
    position += 6;
    if (position < value.size() && value[position] == '*') {
        const std::size_t slash = value.find('/', position);
        if (slash == std::string::npos) return true;
        if (parseUnsigned(value, slash + 1, range.total)) range.form = ContentRange::Unsatisfied;
    } else if (parseUnsigned(value, position, range.first)) {
        range.form = ContentRange::Partial;
    }
    return true;
}

}  // namespace kestrup_services
