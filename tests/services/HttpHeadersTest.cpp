// The header lines the transfer reads itself, including a range start too large
// for 64 bits, which used to wrap around to a small offset.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "HttpHeaders.h"

namespace {

using kestrup_services::ContentRange;

TEST(HttpHeadersTest, ContentRangeLinesAreReadOrLeftUnparsed) {
    struct {
        const char* line;
        bool isContentRange;
        ContentRange::Form form;
        uint64_t first, total;
    } cases[] = {
        {"Content-Range: bytes 100-199/200\r\n", true, ContentRange::Partial, 100, 0},
        {"content-range:\tbytes 0-0/*\r\n", true, ContentRange::Partial, 0, 0},
        {"CONTENT-RANGE: bytes */4096\r\n", true, ContentRange::Unsatisfied, 0, 4096},
        {"Content-Range: bytes 18446744073709551615-1/2\r\n", true, ContentRange::Partial, UINT64_MAX, 0},
        {"Content-Range: bytes 18446744073709551616-1/2\r\n", true, ContentRange::Unparsed, 0, 0},
        {"Content-Range: bytes 184467440737095516160-1/2\r\n", true, ContentRange::Unparsed, 0, 0},
        {"Content-Range: bytes */99999999999999999999\r\n", true, ContentRange::Unparsed, 0, 0},
        {"Content-Range: bytes *\r\n", true, ContentRange::Unparsed, 0, 0},
        {"Content-Range: items 1-2/3\r\n", true, ContentRange::Unparsed, 0, 0},
        {"Content-Range:", true, ContentRange::Unparsed, 0, 0},
        {"Content-Length: 200\r\n", false, ContentRange::Unparsed, 0, 0},
        {"Content-Rang", false, ContentRange::Unparsed, 0, 0},
    };
    for (const auto& c : cases) {
        ContentRange range;
        range.first = 7;  // a header of another kind leaves it alone
        EXPECT_EQ(kestrup_services::parseContentRange(c.line, std::strlen(c.line), range), c.isContentRange) << c.line;
        if (!c.isContentRange) {
            EXPECT_EQ(range.first, 7u) << c.line;
            continue;
        }
        EXPECT_EQ(range.form, c.form) << c.line;
        EXPECT_EQ(range.first, c.first) << c.line;
        EXPECT_EQ(range.total, c.total) << c.line;
    }
    EXPECT_TRUE(kestrup_services::isStatusLine("HTTP/1.1 206 Partial Content\r\n", 31));
    EXPECT_FALSE(kestrup_services::isStatusLine("HTTP", 4));
}

}  // namespace
