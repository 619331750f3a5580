// The stored form of a KSFile (round trips, the exact layout, bad input) and the
// payload behaviour callers build decisions on.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "host/XMLTool.h"
#include "payloads/Payloads.h"

namespace {

KSFile makeFile(const std::string& arguments, const std::string& digest, const std::list<KSMirror>& mirrors) {
    KSFile file;
    file.setArguments(arguments);
    file.setDigest(digest);
    file.setMirrors(mirrors);
    return file;
}

const KSFile kSentinel = makeFile("/sentinel", "feedface", {KSMirror("http://sentinel/file.exe", "http://e")});

// Every field in order, built without the class's own equality.
std::string describe(const KSFile& file) {
    std::string text = "[" + file.getArguments() + "][" + file.getDigest() + "]";
    for (const KSMirror& mirror : file.getMirrors()) text += "[" + mirror.getUrl() + "|" + mirror.getEulaUrl() + "]";
    return text;
}

TEST(KSFileStore, RoundTripsEveryFieldWithMirrorsInOrder) {
    std::vector<KSFile> files = {
        makeFile("/S /norestart", "0123456789abcdef",
                 {KSMirror("http://c.example/setup.exe", "http://c.example/eula"), KSMirror("http://a.example/a", ""),
                  KSMirror("", "http://b.example/eula"), KSMirror("http://a.example/a", "")}),
        makeFile("/quiet", "abc", {}),  // the loaded file must not keep the sentinel's mirror
        KSFile(),
    };
    for (const std::string text : {"<tag attr=\"v\">&amp; ' ]]> </tag>", "C:\\Program Files\\App\\setup.exe",
                                   "\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xFF\xFE\x80 not UTF-8", "   ",
                                   "  line one\nline two\r\nthree\rend\ttab ", "\x01\x1F control"})
        files.push_back(makeFile(text, text, {KSMirror(text, text + "-eula"), KSMirror("", text)}));
    for (const KSFile& file : files) {
        const std::string stored = storeKSFile(file);
        KSFile loaded = kSentinel;
        ASSERT_TRUE(loadKSFile(stored, loaded)) << stored;
        EXPECT_EQ(describe(loaded), describe(file));
    }
    // The archive cannot carry a NUL: storing fails loudly instead of cutting the text.
    EXPECT_THROW(storeKSFile(makeFile(std::string("/S\0/extra", 9), "d", {})), xml_tool_error);
}

TEST(KSFileStore, StoredFormHasTheFixedLayoutAndReadsBackWithWhitespace) {
    const std::string text = storeKSFile(makeFile("/S", "d1", {KSMirror("u1", "e1"), KSMirror("u2", "e2")}));
    EXPECT_EQ(bootStrapCreate(text, boost::any())->getRootName(), "ksFile");
    EXPECT_NE(text.find("<ksFile><arguments>/S</arguments><digest>d1</digest><mirrors__mirror><eulaUrl>e1</eulaUrl>"
                        "<url>u1</url></mirrors__mirror><mirrors__mirror><eulaUrl>e2</eulaUrl><url>u2</url>"
                        "</mirrors__mirror></ksFile>"),
              std::string::npos)
        << text;
    KSFile file;
    ASSERT_TRUE(loadKSFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ksFile>\n  <arguments>/S</arguments>\n"
                           "  <digest>abc</digest>\n  <mirrors__mirror>\n    <eulaUrl>http://e</eulaUrl>\n"
                           "    <url>http://u</url>\n  </mirrors__mirror>\n</ksFile>\n",
                           file));
    EXPECT_EQ(describe(file), "[/S][abc][http://u|http://e]");
}

TEST(KSFileStore, MalformedTextFailsCleanlyAndLeavesTheFileAlone) {
    std::vector<std::string> bad = {
        "<file><arguments>/S</arguments><digest>d</digest></file>",        // wrong root
        "<ksFile><digest>d</digest></ksFile>",                             // no arguments
        "<ksFile><arguments>/S</arguments></ksFile>",                      // no digest
        "<ksFile><arguments><x/></arguments><digest>d</digest></ksFile>",  // element, not text
        "<ksFile><arguments>/S</arguments><digest>d</digest><mirrors__mirror><url>u</url></mirrors__mirror></ksFile>",
        "<ksFile><arguments>/S</arguments><digest>d</digest><mirrors__mirror>u</mirrors__mirror></ksFile>",
    };
    // Every truncation of a stored file, as a crash mid-write would leave it.
    const std::string stored =
        storeKSFile(makeFile("/S", "d", {KSMirror("http://u1", "http://e1"), KSMirror("u2", "")}));
    for (std::size_t length = 0; length < stored.size(); ++length) bad.push_back(stored.substr(0, length));
    for (const std::string& text : bad) {
        KSFile file = kSentinel;
        EXPECT_FALSE(loadKSFile(text, file)) << text;
        EXPECT_EQ(describe(file), describe(kSentinel)) << text;
    }
}

TEST(PayloadEquality, EveryFieldAndTheMirrorOrderCount) {
    const KSFile base = makeFile("/S", "d", {KSMirror("u1", "e1"), KSMirror("u2", "e2")});
    for (const KSFile& variant : {makeFile("/Q", "d", base.getMirrors()), makeFile("/S", "D", base.getMirrors()),
                                  makeFile("/S", "d", {KSMirror("u2", "e2"), KSMirror("u1", "e1")}),
                                  makeFile("/S", "d", {KSMirror("u1", "e1"), KSMirror("u2", "other")}),
                                  makeFile("/S", "d", {KSMirror("u1", "e1")}), KSFile(),
                                  makeFile("", "", {KSMirror()})})
        EXPECT_TRUE(!(variant == base) && variant != base) << describe(variant);
    EXPECT_TRUE(KSFile(base) == base && !(KSFile() != KSFile()));
    EXPECT_FALSE(makeFile("", "", {KSMirror()}) == KSFile()) << "even an all-empty mirror counts";

    const UUId id = UUId::generate();
    EXPECT_TRUE(ServiceOfferingEntity(id, 4) == ServiceOfferingEntity(UUId(id.getValue()), 4));
    EXPECT_FALSE(ServiceOfferingEntity(id, 4) == ServiceOfferingEntity(id, 5));
    EXPECT_FALSE(ServiceOfferingEntity(id, 4) == ServiceOfferingEntity(UUId::generate(), 4));
}

}  // namespace
