#include "platform/CommandLine.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct SplitCase {
    const char* parameters;
    std::vector<std::string> arguments;
};

// Each row is how a program built with the Windows C runtime sees the parameter
// string in its argv (after the program name).
const SplitCase kCases[] = {
    {"", {}},
    {" \t  ", {}},
    {"a b  c", {"a", "b", "c"}},
    {"  lead and trail  ", {"lead", "and", "trail"}},
    {"\"a b\" c", {"a b", "c"}},
    {"\"a\tb\"", {"a\tb"}},
    {"\"\"", {""}},
    {"a\"b c\"d", {"ab cd"}},
    {"\"unterminated arg", {"unterminated arg"}},
    // Doubled quotes inside a quoted part.
    {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
    {"a\"\"\"b", {"a\"b"}},
    // Backslashes.
    {"\\\\\"a b\"", {"\\a b"}},
    {"\\\\\\\"a", {"\\\"a"}},
    {"a\\\\b c\\", {"a\\\\b", "c\\"}},
    {"\"C:\\Program Files\\\\\" next", {"C:\\Program Files\\", "next"}},
    // Non-ASCII text passes through.
    {"h\xC3\xA9llo \"w\xC3\xB6rld \xE6\x97\xA5\"", {"h\xC3\xA9llo", "w\xC3\xB6rld \xE6\x97\xA5"}},
};

TEST(CommandLineTest, SplitsLikeTheWindowsRuntime) {
    for (const SplitCase& c : kCases) {
        EXPECT_EQ(platform::splitCommandLine(c.parameters), c.arguments) << "parameters: [" << c.parameters << "]";
    }
}

}  // namespace
