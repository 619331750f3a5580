#include "bus/UUId.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kCanonical = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";

TEST(UUIdTest, DefaultIsTheNilValue) {
    UUId id;
    EXPECT_TRUE(id.isNil());
    EXPECT_EQ(id.getValue(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(id, UUId("00000000-0000-0000-0000-000000000000"));
    EXPECT_FALSE(UUId(kCanonical).isNil());
}

// Every accepted spelling of one value yields the same canonical text and compares equal.
TEST(UUIdTest, AcceptedSpellingsGiveOneCanonicalValue) {
    const char* spellings[] = {
        "3f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
        "3F2504e0-4f89-11D3-9a0C-0305e82c3301",
        "{3f2504e0-4f89-11d3-9a0c-0305e82c3301}",
        "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}",
    };
    for (const char* text : spellings) {
        EXPECT_TRUE(UUId::checkValid(text)) << text;
        const UUId id(text);
        EXPECT_EQ(id.getValue(), kCanonical) << text;
        EXPECT_EQ(id, UUId(kCanonical)) << text;
        EXPECT_FALSE(id != UUId(kCanonical)) << text;
    }
}

TEST(UUIdTest, RejectsEverythingElseAndParsesItAsNil) {
    const char* invalid[] = {
        "",
        "3f2504e04f8911d39a0c0305e82c3301",        // no dashes
        "3f2504e0-4f89-11d3-9a0c-0305e82c330",     // one digit short
        "3f2504e0-4f89-11d3-9a0c-0305e82c33011",   // one digit long
        "3f2504e0-4f89-11d3-9a0c-0305e82c330g",    // not hexadecimal
        "3f2504e0-4f8911d3-9a0c-0305e82c3301-",    // dash misplaced
        "3f2504e0 4f89 11d3 9a0c 0305e82c3301",    // spaces instead of dashes
        "{3f2504e0-4f89-11d3-9a0c-0305e82c3301",   // unmatched brace
        "3f2504e0-4f89-11d3-9a0c-0305e82c3301}",   // unmatched brace
        "(3f2504e0-4f89-11d3-9a0c-0305e82c3301)",  // wrong brackets
        "{{3f2504e0-4f89-11d3-9a0c-0305e82c3301}}",
        " 3f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "3f2504e0-4f89-11d3-9a0c-0305e82c3301 ",
        "+f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "urn:uuid:3f2504e0-4f89-11d3-9a0c-0305e82c3301",
    };
    for (const char* text : invalid) {
        EXPECT_FALSE(UUId::checkValid(text)) << '"' << text << '"';
        EXPECT_TRUE(UUId(text).isNil()) << '"' << text << '"';
    }
    EXPECT_FALSE(UUId::checkValid(std::string("3f2504e0-4f89-11d3-9a0c-0305e82c330\0", 36)));
}

TEST(UUIdTest, GeneratedIdsAreRandomVersionFourAndValid) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const UUId id = UUId::generate();
        const std::string text = id.getValue();
        ASSERT_TRUE(UUId::checkValid(text)) << text;
        EXPECT_EQ(text[14], '4') << text;                                      // version 4
        EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;  // RFC 4122 variant
        EXPECT_EQ(UUId(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUIdTest, OrderingIsStrictAndUsableAsAKey) {
    const UUId low("00000000-0000-0000-0000-000000000001");
    const UUId high("ffffffff-0000-0000-0000-000000000000");
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_FALSE(low < low);
    std::set<UUId> ids{high, low, UUId("{FFFFFFFF-0000-0000-0000-000000000000}")};
    EXPECT_EQ(ids.size(), 2u);
}

}  // namespace
