// The serializer archive: path addressing, the root check, and hostile input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/XMLTool.h"
#include "payloads/Manifest.h"

namespace {

std::string sampleArchive() {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName("ksFile");
    writer->writeField("arguments", "/S & <more>");
    writer->writeField("digest", "abc");
    for (int i = 0; i < 3; ++i) {
        writer->beginEntry("mirrors__mirror");
        writer->writeField("mirrors__mirror\\eulaUrl", "e" + std::to_string(i));
        writer->writeField("mirrors__mirror\\url", "u" + std::to_string(i));
    }
    return writer->text();
}

// Runs every reader operation; the point is that none of them misbehaves.
void exerciseReader(const IXMLTool& reader) {
    std::string value;
    reader.readField("arguments", value);
    reader.readField("mirrors__mirror\\url", value);
    const std::size_t count = reader.countEntries("mirrors__mirror");
    for (std::size_t i = 0; i <= count; ++i) {
        reader.readEntryField("mirrors__mirror", i, "url", value);
    }
    reader.topLevelNames();
    reader.text();
}

TEST(XMLTool, WriterNestsFieldsByPathAndReaderFindsThem) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName("StringWrapper");
    writer->writeField("data", "top");
    writer->writeField("outer\\inner\\leaf", "deep");
    writer->writeField("outer\\inner\\other", "reused parent");
    writer->beginEntry("list\\item");
    writer->writeField("list\\item\\value", "first");
    writer->beginEntry("list\\item");
    writer->writeField("list\\item\\value", "second");

    std::unique_ptr<IXMLTool> reader = bootStrapCreate(writer->text(), std::string("StringWrapper"));
    std::string value;
    ASSERT_TRUE(reader->readField("data", value));
    EXPECT_EQ("top", value);
    ASSERT_TRUE(reader->readField("outer\\inner\\other", value));
    EXPECT_EQ("reused parent", value);
    EXPECT_EQ(1u, reader->countEntries("outer"));  // the parent was reused, not duplicated
    EXPECT_EQ(1u, reader->countEntries("list"));
    ASSERT_EQ(2u, reader->countEntries("list\\item"));
    ASSERT_TRUE(reader->readEntryField("list\\item", 1, "value", value));
    EXPECT_EQ("second", value);
    EXPECT_FALSE(reader->readEntryField("list\\item", 2, "value", value));
    EXPECT_FALSE(reader->readField("missing", value));
    EXPECT_FALSE(reader->readField("outer", value)) << "an element with children is not a text field";
    EXPECT_EQ((std::vector<std::string>{"data", "outer", "list"}), reader->topLevelNames());
}

TEST(XMLTool, EmptyFieldsReadBackAsPresentAndEmpty) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName("IntWrapper");
    writer->writeField("data", "");
    std::unique_ptr<IXMLTool> reader = bootStrapCreate(writer->text(), "IntWrapper");
    std::string value = "untouched";
    ASSERT_TRUE(reader->readField("data", value));
    EXPECT_EQ("", value);
}

TEST(XMLTool, ExpectedRootIsEnforcedInEveryAcceptedForm) {
    const std::string text = sampleArchive();
    EXPECT_NO_THROW(bootStrapCreate(text, std::string("ksFile")));
    EXPECT_NO_THROW(bootStrapCreate(text, "ksFile"));
    EXPECT_NO_THROW(bootStrapCreate(text, boost::any()));
    EXPECT_THROW(bootStrapCreate(text, std::string("IntWrapper")), xml_tool_error);
    EXPECT_THROW(bootStrapCreate(text, "ksfile"), xml_tool_error);  // names are case-sensitive
    EXPECT_THROW(bootStrapCreate(text, std::string()), xml_tool_error);
    EXPECT_THROW(bootStrapCreate(text, 42), xml_tool_error);  // not a name at all
}

TEST(XMLTool, WriterRefusesNamesThatWouldMakeBrokenXml) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    EXPECT_THROW(writer->setRootName(""), xml_tool_error);
    EXPECT_THROW(writer->setRootName("has space"), xml_tool_error);
    EXPECT_THROW(writer->writeField("a\\\\b", "x"), xml_tool_error);  // empty segment
    EXPECT_THROW(writer->writeField("1abc", "x"), xml_tool_error);
    EXPECT_THROW(writer->beginEntry("a<b"), xml_tool_error);
    EXPECT_THROW(writer->writeField("ok", std::string("a\0b", 3)), xml_tool_error);
    // After the refusals the document is still well-formed.
    EXPECT_NO_THROW(bootStrapCreate(writer->text(), boost::any()));
}

TEST(XMLTool, ReaderRejectsMalformedText) {
    const std::vector<std::string> bad = {
        "",
        "   \n",
        "not xml",
        "<?xml version=\"1.0\"?>",
        "<!-- only a comment -->",
        "<a>",
        "<a></b>",
        "<a><b></a></b>",
        "<a attr=></a>",
        "<a/><b/>",
        "<a/>tail",
        "text<a/>",
        std::string("<a>\0</a>", 8),
        std::string("\xFE\xFF\0<\0a\0/\0>", 10),  // UTF-16 text where UTF-8 is expected
        "<a>" + std::string(1000, '<') + "</a>",
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        EXPECT_THROW(bootStrapCreate(text, boost::any()), xml_tool_error);
    }
}

TEST(XMLTool, DoctypeEntitiesAreNotExpanded) {
    const std::string laughs =
        "<?xml version=\"1.0\"?>"
        "<!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">]>"
        "<ksFile><arguments>&lol2;</arguments><digest>d</digest></ksFile>";
    std::unique_ptr<IXMLTool> reader = bootStrapCreate(laughs, "ksFile");
    std::string value;
    ASSERT_TRUE(reader->readField("arguments", value));
    EXPECT_EQ("&lol2;", value);  // kept literally, never expanded
}

TEST(XMLTool, DeeplyNestedInputDoesNotOverflowTheStack) {
    const int depth = 200000;
    std::string text;
    text.reserve(depth * 8);
    for (int i = 0; i < depth; ++i) text += "<a>";
    for (int i = 0; i < depth; ++i) text += "</a>";
    std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, "a");
    std::string value;
    EXPECT_FALSE(reader->readField("a", value));
    EXPECT_EQ(1u, reader->countEntries("a"));
    EXPECT_FALSE(reader->text().empty());
}

TEST(XMLTool, RandomAndMutatedInputFailsCleanly) {
    std::mt19937 random(20240611u);  // fixed seed: failures must be reproducible
    const std::string valid = sampleArchive();
    std::size_t accepted = 0;
    std::size_t rejected = 0;

    auto feed = [&](const std::string& text) {
        try {
            std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, boost::any());
            exerciseReader(*reader);
            EXPECT_FALSE(reader->getRootName().empty());
            ++accepted;
        } catch (const xml_tool_error&) {
            ++rejected;
        }
        KSFile file;
        loadKSFile(text, file);  // must simply return
    };

    // Every prefix of a valid archive.
    for (std::size_t length = 0; length <= valid.size(); ++length) feed(valid.substr(0, length));
    // Byte flips, insertions of markup characters, deletions.
    const std::string markup("<>&/\"'=;![]\0\xFF", 13);
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0: text[at] = static_cast<char>(random() % 256); break;
            case 1: text.insert(at, 1, markup[random() % markup.size()]); break;
            default: text.erase(at, 1 + random() % 8); break;
            }
        }
        feed(text);
    }
    // Pure noise.
    for (int round = 0; round < 500; ++round) {
        std::string text(random() % 200, '\0');
        for (char& c : text) c = static_cast<char>(random() % 256);
        feed(text);
    }

    EXPECT_GT(accepted, 0u);  // the unmodified archive at least
    EXPECT_GT(rejected, 0u);
}

}  // namespace
