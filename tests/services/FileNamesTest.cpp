// File names taken from URLs: whatever a URL holds, the result is one plain name.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileNames.h"

using namespace kestrup_services;

namespace {

struct NameCase {
    const char* url;
    const char* expected;
};

TEST(FileNamesTest, UrlsGiveOnePlainNameInsideTheFolder) {
    const std::vector<NameCase> cases = {
        {"https://example.org/releases/app-2.0.run", "app-2.0.run"},
        {"https://example.org/releases/app-2.0.run?token=abc#frag", "app-2.0.run"},
        {"https://example.org/a%20b%2Bc.bin", "a b+c.bin"},
        {"http://example.org/files/..%2F..%2Fevil", "evil"},
        {"http://example.org/files/..%5C..%5Cevil.exe", "evil.exe"},
        {"http://example.org/files/%2E%2E", kFallbackFileName},
        {"http://example.org/../x", "x"},
        {"http://example.org/...hidden...", "hidden"},
        {"http://example.org/setup.exe%20.%20", "setup.exe"},
        {"http://example.org/nul%00byte%0d%0a.bin", "nulbyte.bin"},
        {"http://example.org/", kFallbackFileName},
        {"file:///srv/updates/app.run", "app.run"},
        {"not a url at all", kFallbackFileName},
        {"http://example.org/caf%C3%A9.bin", "caf\xC3\xA9.bin"},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(c.expected, safeFileNameFromUrl(c.url)) << c.url;
    }
}

TEST(FileNamesTest, LongNamesAreCutWithoutSplittingACharacter) {
    // 150 two-byte characters: 300 bytes; the cut at 200 falls on a boundary.
    std::string name;
    for (int i = 0; i < 150; ++i) name += "\xC3\xA9";
    std::string cleaned = cleanFileName(name);
    EXPECT_EQ(200u, cleaned.size());

    // One ASCII byte first moves every boundary: the cut backs off one byte.
    cleaned = cleanFileName("x" + name);
    EXPECT_EQ(199u, cleaned.size());
    EXPECT_EQ(0xA9, static_cast<unsigned char>(cleaned.back()));

    // Broken escapes are left alone.
    EXPECT_EQ("a%zzb%4/100%", percentDecode("a%zzb%4%2f100%"));
}

}  // namespace
