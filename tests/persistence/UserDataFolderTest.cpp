// The per-user data folder: resolved under $XDG_DATA_HOME, created with its
// parents, cached, and logged (not fatal) when it cannot be created.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "util/common/UserDataFolder.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        set(value);
    }
    ~ScopedEnv() { set(m_old); }
    void set(const std::optional<std::string>& value) {
        if (value)
            setenv(m_name, value->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class UserDataFolderTest : public ::testing::Test {
protected:
    void SetUp() override { UserDataFolder::resetForTesting(); }
    void TearDown() override { UserDataFolder::resetForTesting(); }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    ScopedEnv xdg{"XDG_DATA_HOME", dir.file("data/home")};
};

TEST_F(UserDataFolderTest, CreatesTheWholeChainOnceAndThenAnswersFromTheCache) {
    const std::string expected = dir.file("data/home") + "/Corvane/Brenmark/";
    EXPECT_EQ(UserDataFolder::get(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_TRUE(logger.lines().empty());

    // The cached answer neither looks at the environment nor at the disk again.
    fs::remove_all(dir.file("data"));
    xdg.set(dir.file("elsewhere"));
    EXPECT_EQ(UserDataFolder::get(), expected);
    EXPECT_FALSE(fs::exists(dir.file("data")));
    EXPECT_FALSE(fs::exists(dir.file("elsewhere")));

    UserDataFolder::resetForTesting();
    EXPECT_EQ(UserDataFolder::get(), dir.file("elsewhere") + "/Corvane/Brenmark/");
}

TEST_F(UserDataFolderTest, AnExistingFolderIsLeftAsItIs) {
    const std::string folder = dir.file("data/home/Corvane/Brenmark");
    fs::create_directories(folder);
    std::ofstream(folder + "/marker") << "keep";
    EXPECT_EQ(UserDataFolder::get(), folder + "/");
    EXPECT_TRUE(fs::exists(folder + "/marker"));
    EXPECT_TRUE(logger.lines().empty());
}

TEST_F(UserDataFolderTest, AFolderThatCannotBeCreatedIsLoggedAndStillReturned) {
    // A regular file where a parent folder should be (chmod would not stop root).
    fs::create_directories(dir.file("data"));
    std::ofstream(dir.file("data/home")) << "not a folder";
    const std::string expected = dir.file("data/home") + "/Corvane/Brenmark/";
    EXPECT_EQ(UserDataFolder::get(), expected);
    ASSERT_EQ(logger.lines().size(), 1u);
    const std::string line = logger.lines()[0];
    const std::string tail = "] -> UserDataFolder: Could not create " + expected;
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^UserDataFolder\.cpp\[[0-9]+\] -> )"))) << line;
    EXPECT_TRUE(line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) << line;
}

TEST_F(UserDataFolderTest, AnUnresolvablePathIsNotCached) {
    {
        ScopedEnv home("HOME", std::nullopt);
        xdg.set(std::nullopt);
        EXPECT_EQ(UserDataFolder::get(), "");
    }
    xdg.set(dir.file("later"));
    EXPECT_EQ(UserDataFolder::get(), dir.file("later") + "/Corvane/Brenmark/");
    EXPECT_TRUE(fs::is_directory(dir.file("later/Corvane/Brenmark")));
}

}  // namespace
