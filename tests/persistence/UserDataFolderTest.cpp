// The per-user data folder: resolved under $XDG_DATA_HOME, created with its
// parents, cached, and logged (not fatal) when it cannot be created.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "util/common/UserDataFolder.h"

namespace fs = std::filesystem;

namespace {

std::optional<std::string> getEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void setEnv(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

class UserDataFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        UserDataFolder::resetForTesting();
        setEnv("XDG_DATA_HOME", dir.file("data"));
    }
    void TearDown() override {
        UserDataFolder::resetForTesting();
        setEnv("XDG_DATA_HOME", m_xdg);
        setEnv("HOME", m_home);
    }
    std::string folderIn(const std::string& base) const { return dir.file(base) + "/Corvane/Brenmark/"; }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    const std::optional<std::string> m_xdg = getEnv("XDG_DATA_HOME");
    const std::optional<std::string> m_home = getEnv("HOME");
};

TEST_F(UserDataFolderTest, CreatesTheWholeChainOnceAndThenAnswersFromTheCache) {
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    EXPECT_TRUE(fs::is_directory(folderIn("data")));

    // The cached answer neither looks at the environment nor at the disk again.
    fs::remove_all(dir.file("data"));
    setEnv("XDG_DATA_HOME", dir.file("elsewhere"));
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    EXPECT_FALSE(fs::exists(dir.file("data")));
    EXPECT_FALSE(fs::exists(dir.file("elsewhere")));

    // An existing folder is left as it is.
    fs::create_directories(folderIn("elsewhere"));
    std::ofstream(folderIn("elsewhere") + "marker") << "keep";
    UserDataFolder::resetForTesting();
    EXPECT_EQ(UserDataFolder::get(), folderIn("elsewhere"));
    EXPECT_TRUE(fs::exists(folderIn("elsewhere") + "marker"));
    EXPECT_TRUE(logger.lines().empty());
}

TEST_F(UserDataFolderTest, AnUnresolvablePathIsNotCachedAndAnUncreatableOneIsLoggedAndReturned) {
    setEnv("XDG_DATA_HOME", std::nullopt);
    setEnv("HOME", std::nullopt);
    EXPECT_EQ(UserDataFolder::get(), "");
    EXPECT_TRUE(logger.lines().empty());

    // A regular file where a parent folder should be (chmod would not stop root).
    std::ofstream(dir.file("data")) << "not a folder";
    setEnv("XDG_DATA_HOME", dir.file("data"));
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    ASSERT_EQ(logger.lines().size(), 1u);
    const std::string line = logger.lines()[0];
    EXPECT_EQ(line.rfind("UserDataFolder.cpp[", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.find("] -> ")), "] -> UserDataFolder: Could not create " + folderIn("data"));
}

}  // namespace
