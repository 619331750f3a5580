// The per-user data folder: created with its parents, cached, logged when it cannot be created.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "host/CorvanePath.h"
#include "util/common/UserDataFolder.h"

namespace fs = std::filesystem;
using testsupport::setEnv;

namespace {

// XDG_DATA_HOME; LOCALAPPDATA on Windows.
const char* const kDataHome = userDataEnvironmentVariable();

class UserDataFolderTest : public ::testing::Test {
protected:
    UserDataFolderTest() { UserDataFolder::resetForTesting(); }
    ~UserDataFolderTest() override { UserDataFolder::resetForTesting(); }
    std::string folderIn(const std::string& base) const {
        return testsupport::nativePath(dir.file(base) + "/Corvane/Brenmark/");
    }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::ScopedEnv dataHome{kDataHome, dir.file("data").c_str()};
    testsupport::ScopedEnv home{"HOME", std::getenv("HOME")};  // restored at the end
};

TEST_F(UserDataFolderTest, CreatesTheWholeChainOnceAndThenAnswersFromTheCache) {
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    EXPECT_TRUE(fs::is_directory(folderIn("data")));

    // The cached answer neither looks at the environment nor at the disk again.
    fs::remove_all(dir.file("data"));
    setEnv(kDataHome, dir.file("elsewhere").c_str());
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
    setEnv(kDataHome, nullptr);
    setEnv("HOME", nullptr);
    EXPECT_EQ(UserDataFolder::get(), "");
    EXPECT_TRUE(logger.lines().empty());

    // A regular file where a parent folder should be (chmod would not stop root).
    std::ofstream(dir.file("data")) << "not a folder";
    setEnv(kDataHome, dir.file("data").c_str());
    EXPECT_EQ(UserDataFolder::get(), folderIn("data"));
    ASSERT_EQ(logger.lines().size(), 1u);
    EXPECT_EQ(logger.lines()[0].substr(0, 19), "UserDataFolder.cpp[");
    EXPECT_TRUE(logger.endsWithAny("] -> UserDataFolder: Could not create " + folderIn("data")));
}

}  // namespace
