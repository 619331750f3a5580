#pragma once
// The response header lines the transfer reads itself (libcurl handles the rest),
// as libcurl hands them over: one line per call, with its CR LF, not NUL-terminated.
#include <cstddef>
#include <cstdint>

namespace kestrup_services {

// What a "Content-Range:" line says about a resumed download.
struct ContentRange {
    enum Form {
        Unparsed,     // not "bytes <first>-..." nor "bytes */<total>"
        Partial,      // "bytes <first>-<last>/<total>": the body starts at `first`
        Unsatisfied   // "bytes */<total>": the asked range lies beyond the file
    };
    Form form = Unparsed;
    uint64_t first = 0;
    uint64_t total = 0;
};

// True when `line` starts a new response ("HTTP/1.1 206 ..."): headers of an
// earlier response (a redirect) no longer count.
bool isStatusLine(const char* line, std::size_t length);

// True when `line` is a Content-Range header (any case); `range` then holds what it
// says. A number too large for 64 bits leaves the header Unparsed.
bool parseContentRange(const char* line, std::size_t length, ContentRange& range);

}  // namespace kestrup_services
