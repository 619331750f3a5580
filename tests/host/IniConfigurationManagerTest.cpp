#include "host/ConfigurationManager.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(IniConfigurationManagerTest, ReadsGroupAndKey) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    writeFile(path,
              "[Kestrup]\n"
              "InactivityTimeout=300\n"
              "DownloadRetries = 4\n"
              "Empty=\n"
              "Mirrors=a, b\n"
              "[Identities]\n"
              "DomainID=domain-1\n");
    IniConfigurationManager config(path);
    EXPECT_TRUE(config.isReadable()) << config.errorText();

    std::string value;
    EXPECT_EQ(config.get("Kestrup/InactivityTimeout", value, 0), 0);
    EXPECT_EQ(value, "300");
    EXPECT_EQ(config.get("Kestrup/DownloadRetries", value, 0), 0);
    EXPECT_EQ(value, "4");
    EXPECT_EQ(config.get("Identities/DomainID", value, 0), 0);
    EXPECT_EQ(value, "domain-1");
    EXPECT_EQ(config.get("Kestrup/Empty", value, 0), 0) << "present but empty is present";
    EXPECT_EQ(value, "");
    EXPECT_EQ(config.get("Kestrup/Mirrors", value, 0), 0);
    EXPECT_EQ(value, "a, b") << "a comma does not lose the value";
}

TEST(IniConfigurationManagerTest, MissingKeyLeavesTheValueAlone) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    writeFile(path, "[Kestrup]\nInactivityTimeout=300\n");
    IniConfigurationManager config(path);

    for (const char* key : {"Kestrup/DownloadRetries", "Other/InactivityTimeout", "InactivityTimeout",
                            "Kestrup", ""}) {
        std::string value = "untouched";
        EXPECT_NE(config.get(key, value, 0), 0) << key;
        EXPECT_EQ(value, "untouched") << key;
    }
}

TEST(IniConfigurationManagerTest, MissingFileIsAnEmptyStoreThatCanBeWritten) {
    testsupport::TempDir dir;
    const std::string path = dir.file("new.ini");
    IniConfigurationManager config(path);
    EXPECT_TRUE(config.isReadable());
    EXPECT_EQ(config.errorText(), "");
    std::string value;
    EXPECT_NE(config.get("Kestrup/InactivityTimeout", value, 0), 0);

    ASSERT_EQ(config.set("Kestrup/InactivityTimeout", "120", 0), 0);
    ASSERT_EQ(config.set("Kestrup/Url", "http://a,b", 0), 0);

    // Another store on the same file sees the values: they were written through.
    IniConfigurationManager reopened(path);
    EXPECT_EQ(reopened.get("Kestrup/InactivityTimeout", value, 0), 0);
    EXPECT_EQ(value, "120");
    EXPECT_EQ(reopened.get("Kestrup/Url", value, 0), 0);
    EXPECT_EQ(value, "http://a,b");
}

TEST(IniConfigurationManagerTest, ReloadSeesChangesOnDisk) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    writeFile(path, "[Kestrup]\nInactivityTimeout=300\n");
    IniConfigurationManager config(path);

    writeFile(path, "[Kestrup]\nInactivityTimeout=60\nInstallRetries=2\n");
    EXPECT_EQ(config.reload(), 0);
    std::string value;
    EXPECT_EQ(config.get("Kestrup/InactivityTimeout", value, 0), 0);
    EXPECT_EQ(value, "60");
    EXPECT_EQ(config.get("Kestrup/InstallRetries", value, 0), 0);
    EXPECT_EQ(value, "2");
}

TEST(IniConfigurationManagerTest, MalformedFileIsReportedAndNotOverwritten) {
    testsupport::TempDir dir;
    const std::string path = dir.file("broken.ini");
    const std::string text = "[Kestrup]\nInactivityTimeout=300\nthis line has no equals sign\n";
    writeFile(path, text);
    testsupport::CapturingLogger log;
    IniConfigurationManager config(path);

    EXPECT_FALSE(config.isReadable());
    EXPECT_NE(config.errorText().find("not a valid INI file"), std::string::npos) << config.errorText();
    EXPECT_TRUE(log.contains("broken.ini"));
    EXPECT_NE(config.set("Kestrup/InactivityTimeout", "1", 0), 0);
    EXPECT_EQ(readFile(path), text);
    EXPECT_NE(config.reload(), 0);
    IniConfigurationManager second(path);
    EXPECT_FALSE(second.isReadable()) << "a second store on the same file sees the fault too";

    // Repaired on disk, a reload makes the store usable again.
    writeFile(path, "[Kestrup]\nInactivityTimeout=5\n");
    EXPECT_EQ(config.reload(), 0);
    EXPECT_TRUE(config.isReadable());
    std::string value;
    EXPECT_EQ(config.get("Kestrup/InactivityTimeout", value, 0), 0);
    EXPECT_EQ(value, "5");
}

TEST(IniConfigurationManagerTest, FolderInPlaceOfTheFileIsReported) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    std::filesystem::create_directory(path);
    IniConfigurationManager config(path);
    EXPECT_FALSE(config.isReadable());
    EXPECT_NE(config.errorText().find("host.ini"), std::string::npos);
    EXPECT_NE(config.set("Kestrup/InactivityTimeout", "1", 0), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(IniConfigurationManagerTest, FileWithoutReadPermissionIsReported) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads files regardless of their permissions";
    }
    testsupport::TempDir dir;
    const std::string path = dir.file("locked.ini");
    writeFile(path, "[Kestrup]\nInactivityTimeout=300\n");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    IniConfigurationManager config(path);
    EXPECT_FALSE(config.isReadable());
    EXPECT_NE(config.errorText().find("cannot be read"), std::string::npos) << config.errorText();
    std::string value;
    EXPECT_NE(config.get("Kestrup/InactivityTimeout", value, 0), 0);
}

TEST(IniConfigurationManagerTest, ConcurrentReadersAndWriters) {
    testsupport::TempDir dir;
    const std::string path = dir.file("shared.ini");
    writeFile(path, "[Kestrup]\nInactivityTimeout=300\n");
    IniConfigurationManager config(path);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&config, t] {
            for (int i = 0; i < 20; ++i) {
                std::string value;
                if (t % 2 == 0) {
                    config.set("Writer" + std::to_string(t) + "/Count", std::to_string(i), 0);
                } else if (config.get("Kestrup/InactivityTimeout", value, 0) != 0 || value != "300") {
                    ADD_FAILURE() << "reader saw '" << value << "'";
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    IniConfigurationManager reopened(path);
    std::string value;
    EXPECT_EQ(reopened.get("Writer0/Count", value, 0), 0);
    EXPECT_EQ(value, "19");
    EXPECT_EQ(reopened.get("Writer2/Count", value, 0), 0);
    EXPECT_EQ(value, "19");
}

TEST(ConfigurationManagerTest, DefaultInstanceIsNullUntilInstalled) {
    EXPECT_EQ(ConfigurationManager::getDefaultInstance(), nullptr);
    testsupport::TempDir dir;
    IniConfigurationManager config(dir.file("host.ini"));
    ConfigurationManager::setDefaultInstance(&config);
    EXPECT_EQ(ConfigurationManager::getDefaultInstance(), &config);
    ConfigurationManager::setDefaultInstance(nullptr);
    EXPECT_EQ(ConfigurationManager::getDefaultInstance(), nullptr);
}

}  // namespace
