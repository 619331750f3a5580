// The per-user data folder: resolved under the per-user data variable, created with
// its parents, cached, and logged (not fatal) when it cannot be created.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "host/CorvanePath.h"
#include "util/common/UserDataFolder.h"

namespace fs = std::filesystem;

namespace {

void setEnv(const char* name, const std::optional<std::string>& value) {
    testsupport::setEnv(name, value ? value->c_str() : nullptr);
}
// XDG_DATA_HOME; LOCALAPPDATA on Windows.
const char* const kDataHome = userDataEnvironmentVariable();

class UserDataFolderTest : public ::testing::Test {
protected:
    void SetUp() override { UserDataFolder::resetForTesting(); }
    void TearDown() override { UserDataFolder::resetForTesting(); }
    std::string folderIn(const std::string& base) const {
        return testsupport::nativePath(dir.file(base) + "/Corvane/Brenmark/");
    }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::ScopedEnv m_dataHome{kDataHome, dir.file("data").c_str()};  // restored afterwards
    testsupport::ScopedEnv m_home{"HOME", std::getenv("HOME")};
};

TEST_F(UserDataFolderTest, CreatesTheWholeChainOnceAndThenAnswersFromTheCache) {
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    EXPECT_TRUE(fs::is_directory(folderIn("data")));

    // The cached answer neither looks at the environment nor at the disk again.
    fs::remove_all(dir.file("data"));
    setEnv(kDataHome, dir.file("elsewhere"));
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
    setEnv(kDataHome, std::nullopt);
    setEnv("HOME", std::nullopt);
    EXPECT_EQ(UserDataFolder::get(), "");
    EXPECT_TRUE(logger.lines().empty());

    // A regular file where a parent folder should be (chmod would not stop root).
    std::ofstream(dir.file("data")) << "not a folder";
    setEnv(kDataHome, dir.file("data"));
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    ASSERT_EQ(logger.lines().size(), 1u);
    const std::string line = logger.lines()[0];
    EXPECT_EQ(line.rfind("UserDataFolder.cpp[", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.find("] -> ")), "] -> UserDataFolder: Could not create " + folderIn("data"));
}

}  // namespace
