// The serializer archive: path addressing, the root check, and hostile input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/XMLTool.h"

namespace {

TEST(XMLTool, WriterNestsFieldsByPathAndReaderFindsThem) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName("StringWrapper");
    writer->writeField("data", "top");
    writer->writeField("empty", "");
    writer->writeField("outer\\inner\\leaf", "deep");
    writer->writeField("outer\\inner\\other", "reused parent");
    for (const char* value : {"first", "second"}) {
        writer->beginEntry("list\\item");
        writer->writeField("list\\item\\value", value);
    }
    const std::string text = writer->text();
    std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, std::string("StringWrapper"));
    std::string top, empty = "x", other, second;
    EXPECT_TRUE(reader->readField("data", top) && reader->readField("empty", empty) &&
                reader->readField("outer\\inner\\other", other));
    EXPECT_EQ(top + "|" + empty + "|" + other, "top||reused parent");
    EXPECT_EQ(reader->countEntries("outer"), 1u) << "the parent was reused, not duplicated";
    ASSERT_EQ(reader->countEntries("list\\item"), 2u);
    EXPECT_TRUE(reader->readEntryField("list\\item", 1, "value", second));
    EXPECT_EQ(second, "second");
    EXPECT_FALSE(reader->readEntryField("list\\item", 2, "value", second));
    EXPECT_FALSE(reader->readField("missing", second));
    EXPECT_FALSE(reader->readField("outer", second)) << "an element with children is not a text field";
    EXPECT_EQ(reader->topLevelNames(), (std::vector<std::string>{"data", "empty", "outer", "list"}));

    // The expected root, in every accepted form; names are case-sensitive.
    EXPECT_NO_THROW(bootStrapCreate(text, "StringWrapper"));
    EXPECT_NO_THROW(bootStrapCreate(text, boost::any()));
    for (const boost::any& wrong : {boost::any(std::string("IntWrapper")), boost::any("stringWrapper"),
                                    boost::any(std::string()), boost::any(42)})
        EXPECT_THROW(bootStrapCreate(text, wrong), xml_tool_error);
}

TEST(XMLTool, WriterRefusesWhatWouldBreakTheDocumentAndReaderRejectsHostileInput) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    EXPECT_THROW(writer->setRootName(""), xml_tool_error);
    EXPECT_THROW(writer->setRootName("has space"), xml_tool_error);
    EXPECT_THROW(writer->writeField("a\\\\b", "x"), xml_tool_error);  // empty segment
    EXPECT_THROW(writer->writeField("1abc", "x"), xml_tool_error);
    EXPECT_THROW(writer->beginEntry("a<b"), xml_tool_error);
    EXPECT_THROW(writer->writeField("ok", std::string("a\0b", 3)), xml_tool_error);
    EXPECT_NO_THROW(bootStrapCreate(writer->text(), boost::any())) << "still well-formed after the refusals";

    for (const std::string& text : std::vector<std::string>{
             "", "   \n", "not xml", "<?xml version=\"1.0\"?>", "<!-- only a comment -->", "<a>", "<a></b>",
             "<a><b></a></b>", "<a attr=></a>", "<a/><b/>", "<a/>tail", "text<a/>", std::string("<a>\0</a>", 8),
             std::string("\xFE\xFF\0<\0a\0/\0>", 10),  // UTF-16 where UTF-8 is expected
             "<a>" + std::string(1000, '<') + "</a>"})
        EXPECT_THROW(bootStrapCreate(text, boost::any()), xml_tool_error) << text;

    // Deep nesting must not overflow the stack.
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "<a>";
    for (int i = 0; i < 200000; ++i) deep += "</a>";
    std::unique_ptr<IXMLTool> reader = bootStrapCreate(deep, "a");
    std::string value;
    EXPECT_FALSE(reader->readField("a", value));
    EXPECT_EQ(reader->countEntries("a"), 1u);
    EXPECT_FALSE(reader->text().empty());
}

}  // namespace
