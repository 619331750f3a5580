// The stored form of a KSFile: round trips, the exact layout, and bad input.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "host/XMLTool.h"
#include "payloads/Manifest.h"

namespace {

KSFile makeFile(const std::string& arguments, const std::string& digest, const std::list<KSMirror>& mirrors) {
    KSFile file;
    file.setArguments(arguments);
    file.setDigest(digest);
    file.setMirrors(mirrors);
    return file;
}

KSFile sentinelFile() {
    return makeFile("/sentinel", "feedface", {KSMirror("http://sentinel/file.exe", "http://sentinel/eula")});
}

void expectRoundTrip(const KSFile& original) {
    const std::string text = storeKSFile(original);
    KSFile loaded = sentinelFile();
    ASSERT_TRUE(loadKSFile(text, loaded)) << text;
    EXPECT_EQ(original.getArguments(), loaded.getArguments());
    EXPECT_EQ(original.getDigest(), loaded.getDigest());
    const std::list<KSMirror> expected = original.getMirrors();
    const std::list<KSMirror> actual = loaded.getMirrors();
    ASSERT_EQ(expected.size(), actual.size());
    auto e = expected.begin();
    for (auto a = actual.begin(); a != actual.end(); ++a, ++e) {
        EXPECT_EQ(e->getUrl(), a->getUrl());
        EXPECT_EQ(e->getEulaUrl(), a->getEulaUrl());
    }
    EXPECT_TRUE(loaded == original);
}

TEST(KSFileStore, RoundTripsMirrorsInOrder) {
    expectRoundTrip(makeFile("/S /norestart", "0123456789abcdef",
                             {KSMirror("http://c.example/setup.exe", "http://c.example/eula"),
                              KSMirror("http://a.example/setup.exe", ""),
                              KSMirror("", "http://b.example/eula"),
                              KSMirror("http://a.example/setup.exe", "")}));
}

TEST(KSFileStore, RoundTripsWithoutMirrorsAndWithEmptyTexts) {
    // A loaded file with no mirrors must not keep the sentinel's mirror.
    expectRoundTrip(makeFile("/quiet", "abc", {}));
    expectRoundTrip(KSFile());
}

TEST(KSFileStore, RoundTripsAwkwardTexts) {
    const std::vector<std::string> texts = {
        "<tag attr=\"v\">&amp; ' ]]> </tag>",
        "C:\\Program Files\\App\\setup.exe",
        "\xC3\xA4\xC3\xB6\xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80",  // UTF-8
        "\xFF\xFE\x80 raw bytes",                                // not UTF-8 at all
        "  leading and trailing  ",
        "   ",
        "line one\nline two\r\nline three\rend\ttab",
        "\x01\x1F control",
        "http://mirror/get?a=1&b=2&c=%20",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        expectRoundTrip(makeFile(text, text, {KSMirror(text, text + "-eula"), KSMirror("", text)}));
    }
}

TEST(KSFileStore, StoredFormHasTheFixedLayout) {
    const KSFile file = makeFile("/S", "d1", {KSMirror("u1", "e1"), KSMirror("u2", "e2")});
    const std::string text = storeKSFile(file);

    std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, boost::any());
    EXPECT_EQ("ksFile", reader->getRootName());
    EXPECT_EQ((std::vector<std::string>{"arguments", "digest", "mirrors__mirror", "mirrors__mirror"}),
              reader->topLevelNames());

    // Inside each mirror entry: eulaUrl first, then url, and nothing else.
    EXPECT_NE(std::string::npos, text.find("<mirrors__mirror><eulaUrl>e1</eulaUrl><url>u1</url></mirrors__mirror>"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("<mirrors__mirror><eulaUrl>e2</eulaUrl><url>u2</url></mirrors__mirror></ksFile>"))
        << text;
    EXPECT_LT(text.find("<arguments>/S</arguments>"), text.find("<digest>d1</digest>"));
}

TEST(KSFileStore, ReadsHandWrittenFormWithWhitespaceAndDeclaration) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ksFile>\n"
        "  <arguments>/S</arguments>\n"
        "  <digest>abc</digest>\n"
        "  <mirrors__mirror>\n"
        "    <eulaUrl>http://e</eulaUrl>\n"
        "    <url>http://u</url>\n"
        "  </mirrors__mirror>\n"
        "</ksFile>\n";
    KSFile file;
    ASSERT_TRUE(loadKSFile(text, file));
    EXPECT_TRUE(file == makeFile("/S", "abc", {KSMirror("http://u", "http://e")}));
}

TEST(KSFileStore, RejectsTextThatIsNotTheStoredFormAndLeavesTheFileAlone) {
    const std::vector<std::string> bad = {
        "",
        "garbage",
        std::string("\0\x01\x02", 3),
        "<ksFile>",
        "<ksFile><arguments>/S</arguments><digest>d</digest>",
        "<file><arguments>/S</arguments><digest>d</digest></file>",          // wrong root
        "<ksFile><digest>d</digest></ksFile>",                               // no arguments
        "<ksFile><arguments>/S</arguments></ksFile>",                        // no digest
        "<ksFile><arguments><x/></arguments><digest>d</digest></ksFile>",    // element, not text
        "<ksFile><arguments>/S</arguments><digest>d</digest>"
        "<mirrors__mirror><url>u</url></mirrors__mirror></ksFile>",          // mirror without eulaUrl
        "<ksFile><arguments>/S</arguments><digest>d</digest>"
        "<mirrors__mirror>u</mirrors__mirror></ksFile>",                     // mirror as plain text
        "<ksFile><arguments>/S</arguments><digest>d</digest></ksFile><ksFile/>",  // two roots
        "<ksFile><arguments>/S</arguments><digest>d</digest></ksFile>trailing",
        "<IntWrapper><data>5</data></IntWrapper>",
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        KSFile file = sentinelFile();
        EXPECT_FALSE(loadKSFile(text, file));
        EXPECT_TRUE(file == sentinelFile());
    }
}

TEST(KSFileStore, EveryTruncationOfAStoredFileIsRejected) {
    const std::string text =
        storeKSFile(makeFile("/S", "digest", {KSMirror("http://u1", "http://e1"), KSMirror("http://u2", "")}));
    for (std::size_t length = 0; length < text.size(); ++length) {
        KSFile file = sentinelFile();
        EXPECT_FALSE(loadKSFile(text.substr(0, length), file)) << "prefix of length " << length;
        EXPECT_TRUE(file == sentinelFile());
    }
}

TEST(KSFileStore, TextWithANulByteIsRefusedRatherThanCut) {
    // The archive cannot carry a NUL; storing must fail loudly instead of
    // silently dropping the rest of the text.
    const KSFile file = makeFile(std::string("/S\0/extra", 9), "d", {});
    EXPECT_THROW(storeKSFile(file), xml_tool_error);
}

}  // namespace
