#include "bus/UUId.h"

#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kCanonical = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";

TEST(UUIdTest, DefaultIsNilAndEveryAcceptedSpellingGivesOneCanonicalValue) {
    EXPECT_TRUE(UUId().isNil());
    EXPECT_EQ(UUId().getValue(), "00000000-0000-0000-0000-000000000000");
    EXPECT_FALSE(UUId(kCanonical).isNil());
    for (const char* text : {"3f2504e0-4f89-11d3-9a0c-0305e82c3301", "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                             "3F2504e0-4f89-11D3-9a0C-0305e82c3301", "{3f2504e0-4f89-11d3-9a0c-0305e82c3301}",
                             "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"}) {
        EXPECT_TRUE(UUId::checkValid(text)) << text;
        const UUId id(text);
        EXPECT_EQ(id.getValue(), kCanonical) << text;
        EXPECT_TRUE(id == UUId(kCanonical) && !(id != UUId(kCanonical))) << text;
        EXPECT_FALSE(id < UUId(kCanonical) || UUId(kCanonical) < id) << text;
    }
}

TEST(UUIdTest, RejectsEverythingElseAndParsesItAsNil) {
    const std::string invalid[] = {
        "",
        "3f2504e04f8911d39a0c0305e82c3301",        // no dashes
        "3f2504e0-4f89-11d3-9a0c-0305e82c330",     // one digit short
        "3f2504e0-4f89-11d3-9a0c-0305e82c330g",    // not hexadecimal
        "3f2504e0-4f8911d3-9a0c-0305e82c3301-",    // dash misplaced
        "{3f2504e0-4f89-11d3-9a0c-0305e82c3301",   // unmatched brace
        "(3f2504e0-4f89-11d3-9a0c-0305e82c3301)",  // wrong brackets
        " 3f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "+f2504e0-4f89-11d3-9a0c-0305e82c3301",
        std::string("3f2504e0-4f89-11d3-9a0c-0305e82c330\0", 36),
    };
    for (const std::string& text : invalid) {
        EXPECT_FALSE(UUId::checkValid(text)) << '"' << text << '"';
        EXPECT_TRUE(UUId(text).isNil()) << '"' << text << '"';
    }
}

TEST(UUIdTest, GeneratedIdsAreFreshAndRoundTripThroughTheirText) {
    const UUId id = UUId::generate();
    EXPECT_FALSE(id.isNil());
    EXPECT_NE(id, UUId::generate());
    EXPECT_EQ(UUId(id.getValue()), id);
}

}  // namespace
