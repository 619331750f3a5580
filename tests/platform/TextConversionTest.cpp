#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Win32Api.h"

namespace {

// The launcher's way: length query over the text and its NUL, then the conversion.
std::u16string convert(const std::string& text, DWORD flags = 0) {
    const int length = static_cast<int>(text.size()) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, flags, text.c_str(), length, nullptr, 0);
    if (needed <= 0) return u"<failed>";
    std::vector<WCHAR> buffer(static_cast<std::size_t>(needed), u'#');
    const int written = MultiByteToWideChar(CP_ACP, flags, text.c_str(), length, buffer.data(), needed);
    if (written != needed || buffer.back() != 0) return u"<bad write>";
    return std::u16string(buffer.data(), buffer.size() - 1);
}

TEST(MultiByteToWideCharTest, ConvertsUtf8TextWithItsTerminator) {
    struct Case {
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"setup.exe /S", u"setup.exe /S"},
        {"h\xC3\xA9llo w\xC3\xB6rld", u"h\u00E9llo w\u00F6rld"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
        {"\xF0\x9F\x98\x80!", u"\U0001F600!"},  // outside the BMP: a surrogate pair
    };
    for (const Case& c : cases) EXPECT_EQ(convert(c.utf8), c.utf16) << c.utf8;
}

TEST(MultiByteToWideCharTest, LengthQueryCountsUtf16UnitsAndTheTerminator) {
    const char* text = "h\xC3\xA9\xF0\x9F\x98\x80";  // h, e-acute (2 bytes), emoji (4 bytes)
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 5);  // h, é, 2 surrogates, NUL
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(std::strlen(text)), nullptr, 0), 4);
    // An explicit length stops there, even inside the text.
    WCHAR out[2] = {u'#', u'#'};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, 1, out, 2), 1);
    EXPECT_EQ(out[0], u'h');
    EXPECT_EQ(out[1], u'#');
}

TEST(MultiByteToWideCharTest, InvalidBytesBecomeReplacementsOrFailOnRequest) {
    struct Case {
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\x80x", u"\uFFFDx"},                          // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                  // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},        // an encoded surrogate is not text
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"ok\xE6\x97", u"ok\uFFFD"},                    // truncated at the end
        {"\xE6\x97x", u"\uFFFDx"},                      // broken in the middle
    };
    for (const Case& c : cases) {
        EXPECT_EQ(convert(c.utf8), c.utf16) << "lenient: " << c.utf8;
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, c.utf8, -1, nullptr, 0), 0) << c.utf8;
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION) << c.utf8;
    }
}

TEST(MultiByteToWideCharTest, RejectsBadCallsWithTheWindowsErrors) {
    WCHAR small[3];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "four", -1, small, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    struct Case {
        UINT codePage;
        DWORD flags;
        const char* text;
        int size;
        int capacity;
        DWORD error;
    };
    const Case cases[] = {
        {CP_ACP, 0, nullptr, -1, 0, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "x", 0, 0, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "x", -2, 0, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "x", -1, -1, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "x", -1, 4, ERROR_INVALID_PARAMETER},  // a capacity without a buffer
        {1252, 0, "x", -1, 0, ERROR_INVALID_PARAMETER},    // code page we do not provide
        {CP_UTF8, MB_PRECOMPOSED, "x", -1, 0, ERROR_INVALID_FLAGS},
        {CP_ACP, 0x80000000u, "x", -1, 0, ERROR_INVALID_FLAGS},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(c.codePage, c.flags, c.text, c.size, nullptr, c.capacity), 0);
        EXPECT_EQ(GetLastError(), c.error) << "code page " << c.codePage << ", flags " << c.flags;
    }
    // The ANSI code page accepts the composition flags.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "x", -1, nullptr, 0), 2);
}

TEST(LastErrorTest, IsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 12345;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
