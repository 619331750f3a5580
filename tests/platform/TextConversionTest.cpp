#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Win32Api.h"

namespace {

// The launcher's way: length query over the text and its NUL, then the conversion.
std::u16string convert(const std::string& text) {
    const int length = static_cast<int>(text.size()) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, nullptr, 0);
    std::vector<WCHAR> buffer(static_cast<std::size_t>(std::max(needed, 1)), u'#');
    const int written = MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, buffer.data(), needed);
    if (written != needed || buffer.back() != 0) return u"<failed>";
    return std::u16string(buffer.data(), buffer.size() - 1);
}

TEST(MultiByteToWideCharTest, ConvertsUtf8AndReplacesOrRefusesInvalidBytes) {
    struct Case {
        const char* utf8;
        std::u16string utf16;
        bool valid;
    };
    const Case cases[] = {
        {"", u"", true},
        {"h\xC3\xA9llo \xE6\x97\xA5", u"h\u00E9llo \u65E5", true},
        {"\xF0\x9F\x98\x80!", u"\U0001F600!", true},                     // a surrogate pair
        {"a\xFF" "b", u"a\uFFFDb", false},
        {"\x80x", u"\uFFFDx", false},                                    // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},                            // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},                  // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},        // above U+10FFFF
        {"ok\xE6\x97", u"ok\uFFFD", false},                              // truncated at the end
        {"\xE6\x97x", u"\uFFFDx", false},                                // broken in the middle
    };
    for (const Case& c : cases) {
        EXPECT_EQ(convert(c.utf8), c.utf16) << c.utf8;
        SetLastError(0);
        const int strict = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, c.utf8, -1, nullptr, 0);
        EXPECT_EQ(strict, c.valid ? static_cast<int>(c.utf16.size()) + 1 : 0) << c.utf8;
        EXPECT_EQ(GetLastError(), c.valid ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION) << c.utf8;
    }
}

TEST(MultiByteToWideCharTest, HonoursExplicitLengthsAndRejectsBadCallsPerThread) {
    const char* text = "h\xC3\xA9\xF0\x9F\x98\x80";  // h, e-acute, emoji: 7 bytes, 4 UTF-16 units
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 7, nullptr, 0), 4);  // no terminator counted
    WCHAR out[2] = {u'#', u'#'};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, 1, out, 2), 1);  // stops at the length
    EXPECT_EQ(out[1], u'#');

    auto expectRefused = [](UINT codePage, DWORD flags, const char* text, int size, WCHAR* out, int capacity,
                            DWORD error) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(codePage, flags, text, size, out, capacity), 0);
        EXPECT_EQ(GetLastError(), error) << "code page " << codePage << ", flags " << flags << ", size " << size
                                         << ", capacity " << capacity;
    };
    WCHAR small[3];
    expectRefused(CP_ACP, 0, "four", -1, small, 3, ERROR_INSUFFICIENT_BUFFER);
    expectRefused(CP_ACP, 0, nullptr, -1, nullptr, 0, ERROR_INVALID_PARAMETER);
    expectRefused(CP_ACP, 0, "x", 0, nullptr, 0, ERROR_INVALID_PARAMETER);
    expectRefused(CP_ACP, 0, "x", -1, nullptr, 4, ERROR_INVALID_PARAMETER);  // a capacity without a buffer
    expectRefused(1252, 0, "x", -1, nullptr, 0, ERROR_INVALID_PARAMETER);    // a code page we do not provide
    expectRefused(CP_UTF8, MB_PRECOMPOSED, "x", -1, nullptr, 0, ERROR_INVALID_FLAGS);

    // The last error belongs to the thread that caused it.
    DWORD seenByOther = 12345;
    std::thread([&] { seenByOther = GetLastError(); }).join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

}  // namespace
