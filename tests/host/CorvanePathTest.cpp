#include "host/CorvanePath.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

// Sets or clears an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_hadValue = old != nullptr;
        if (m_hadValue) m_oldValue = old;
        if (value != nullptr) setenv(name, value, 1); else unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_hadValue) setenv(m_name.c_str(), m_oldValue.c_str(), 1); else unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    bool m_hadValue = false;
    std::string m_oldValue;
};

std::string currentDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof(buffer)) != nullptr ? std::string(buffer) : std::string();
}

TEST(CorvanePathTest, UserDataPrefersAnAbsoluteXdgDataHome) {
    ScopedEnv home("HOME", "/home/tester");
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/data/xdg");
        EXPECT_EQ(CorvanePath("%USER_DATA%/Corvane/Brenmark/").getCanonicalPath(), "/data/xdg/Corvane/Brenmark/");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(CorvanePath("%USER_DATA%/Corvane/Brenmark/").getCanonicalPath(),
                  "/home/tester/.local/share/Corvane/Brenmark/");
    }
    for (const char* ignored : {"", "relative/xdg"}) {
        ScopedEnv xdg("XDG_DATA_HOME", ignored);
        EXPECT_EQ(CorvanePath("%USER_DATA%/x").getCanonicalPath(), "/home/tester/.local/share/x") << ignored;
    }
}

TEST(CorvanePathTest, UnexpandableVariableGivesEmpty) {
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(CorvanePath("%USER_DATA%/Corvane/").getCanonicalPath(), "");
    // A path that does not use the variable does not need it.
    EXPECT_EQ(CorvanePath("/opt/app/").getCanonicalPath(), "/opt/app/");
}

TEST(CorvanePathTest, ResolvesDotsAndFoldsSeparators) {
    ScopedEnv xdg("XDG_DATA_HOME", "/data//xdg/");
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/a/./b/./", "/a/b/"},
        {"/a//b///c//", "/a/b/c/"},
        {"/a/b/..", "/a"},
        {"/a/b/../", "/a/"},
        {"/../..", "/"},
        {"/", "/"},
        {"%USER_DATA%/Corvane/../Brenmark/", "/data/xdg/Brenmark/"},
        {"%USER_DATA%", "/data/xdg/"},
        {"/x/%USER_DATA%/y", "/x/data/xdg/y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CorvanePath(c.input).getCanonicalPath(), c.expected) << c.input;
    }
}

TEST(CorvanePathTest, RelativePathsBecomeAbsolute) {
    const std::string cwd = currentDirectory();
    ASSERT_FALSE(cwd.empty());
    EXPECT_EQ(CorvanePath("folder/file.txt").getCanonicalPath(), cwd + "/folder/file.txt");
    EXPECT_EQ(CorvanePath("./folder/").getCanonicalPath(), cwd + "/folder/");
    EXPECT_EQ(CorvanePath("").getCanonicalPath(), "");
}

}  // namespace
