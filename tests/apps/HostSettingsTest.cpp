// The configuration file of kestrup-host: paths taken from the file's folder,
// URLs made from paths, defaults, and a clear message for every bad value.
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HostSettings.h"
#include "host/CorvanePath.h"
#include "support/TestSupport.h"

namespace {

using kestrup_host::HostSettings;
using kestrup_host::loadHostSettings;
using testsupport::writeFile;

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    for (const std::string& problem : problems) {
        if (problem.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& problems) {
    std::string all;
    for (const std::string& problem : problems) all += problem + "\n";
    return all;
}

const char* const kMinimal =
    "[Identities]\nDomainID=test\n[Host]\nRegistryFile=registry.xml\nFeedUrl=https://updates.example/feed.xml\n";

TEST(HostSettings, TakesRelativePathsFromTheFilesFolderAndMakesPathsIntoFileUrls) {
    testsupport::TempDir dir;
    const std::string folder = dir.file("my configs");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    writeFile(folder + "/host.ini",
              "[Kestrup]\nInactivityTimeout=30\nDownloadRetries=0\nDownloadRetryInterval=5\n"
              "CheckForUpdateInterval=-1\nInstallRetries=7\n"
              "[Identities]\nDomainID=road\n"
              "[Host]\nRegistryFile=../shared/registry.xml\nFeedUrl=feeds/feed #1.xml\nDataFolder=data\n"
              "ReportUrl=http://127.0.0.1:8080/installed\nStallTimeout=12\nConnectTimeout=4\nFeedTimeout=9\n"
              "MaxFileSize=1048576\nMaxBytesPerSecond=65536\nProxy=http://proxy.example:3128\n"
              "NoProxy=localhost, 127.0.0.1\n");

    HostSettings settings;
    std::vector<std::string> problems;
    // Given relative to the current folder: the file's own folder still decides.
    ASSERT_TRUE(loadHostSettings(folder + "/../my configs/host.ini", settings, problems)) << joined(problems);

    EXPECT_EQ(folder + "/host.ini", settings.configFile);
    EXPECT_EQ(dir.path() + "/shared/registry.xml", settings.registryFile);
    const std::string root = dir.path().front() == '/' ? "file://" : "file:///";  // file:///C:/... on Windows
    EXPECT_EQ(root + dir.path() + "/my%20configs/feeds/feed%20%231.xml", settings.feedUrl);
    EXPECT_EQ(settings.feedUrl, settings.backend.feedUrl);
    EXPECT_EQ(folder + "/data", settings.dataFolder);
    EXPECT_EQ(folder + "/data/kestrup-host.log", settings.logFile) << "the log defaults into the data folder";
    EXPECT_EQ("road", settings.domainId);
    EXPECT_EQ("http://127.0.0.1:8080/installed", settings.backend.reportUrl);

    EXPECT_EQ(30, settings.component.inactivityTimeout);
    EXPECT_EQ(0, settings.component.downloadRetries);
    EXPECT_EQ(5, settings.component.downloadRetryInterval);
    EXPECT_EQ(-1, settings.component.checkForUpdateInterval);
    EXPECT_EQ(7, settings.component.installRetries);

    EXPECT_EQ(12u, settings.download.stallTimeoutSeconds);
    EXPECT_EQ(4u, settings.download.connectTimeoutSeconds);
    EXPECT_EQ(4u, settings.backend.connectTimeoutSeconds);
    EXPECT_EQ(9u, settings.backend.requestTimeoutSeconds);
    EXPECT_EQ(1048576u, settings.download.maxFileSizeBytes);
    EXPECT_EQ(65536u, settings.download.maxBytesPerSecond);
    EXPECT_EQ("http://proxy.example:3128", settings.download.proxyUrl);
    EXPECT_EQ(settings.download.proxyUrl, settings.backend.proxyUrl);
    EXPECT_EQ("localhost,127.0.0.1", settings.download.noProxy) << "one list for libcurl, whatever the INI made of it";
}

TEST(HostSettings, FillsInDefaultsUnderThePerUserDataFolder) {
    testsupport::TempDir dir;
    writeFile(dir.file("host.ini"), kMinimal);
    HostSettings settings;
    std::vector<std::string> problems;
    bool loaded = false;
    {
        testsupport::ScopedEnv dataHome(userDataEnvironmentVariable(), dir.file("xdg").c_str());
        loaded = loadHostSettings(dir.file("host.ini"), settings, problems);
    }
    ASSERT_TRUE(loaded) << joined(problems);
    EXPECT_EQ(testsupport::nativePath(dir.file("xdg") + "/kestrup-host"), settings.dataFolder);
    EXPECT_EQ(settings.dataFolder + "/kestrup-host.log", settings.logFile);
    EXPECT_EQ("https://updates.example/feed.xml", settings.feedUrl);
    EXPECT_TRUE(settings.reportUrl.empty());
    EXPECT_EQ(-1, settings.component.inactivityTimeout);
    EXPECT_EQ(3, settings.component.downloadRetries);
    EXPECT_EQ(600, settings.component.downloadRetryInterval);
    EXPECT_EQ(0, settings.component.checkForUpdateInterval);
    EXPECT_EQ(3, settings.component.installRetries);
}

TEST(HostSettings, NamesEveryBadValueAtOnce) {
    testsupport::TempDir dir;
    writeFile(dir.file("host.ini"),
              "[Kestrup]\nInactivityTimeout=soon\nDownloadRetries=-1\nDownloadRetryInterval=2147483648\n"
              "CheckForUpdateInterval=-2\nInstallRetries=3x\nInstalRetries=3\n"
              "[Host]\nFeedUrl=ftp://updates.example/feed.xml\nReportUrl=file:///tmp/report\n"
              "StallTimeout=+5\nFeedTimeout=30\nMaxFileSize=4G\nCaFile=no-such-bundle.pem\nFeedURL=x\n");
    HostSettings settings;
    settings.domainId = "untouched";
    std::vector<std::string> problems;
    EXPECT_FALSE(loadHostSettings(dir.file("host.ini"), settings, problems));
    EXPECT_EQ("untouched", settings.domainId) << "nothing is taken from a file with problems";

    for (const char* key :
         {"Kestrup/InactivityTimeout", "Kestrup/DownloadRetries", "Kestrup/DownloadRetryInterval",
          "Kestrup/CheckForUpdateInterval", "Kestrup/InstallRetries", "Kestrup/InstalRetries is not a known setting",
          "Identities/DomainID is missing", "Host/RegistryFile is missing", "Host/FeedUrl", "Host/ReportUrl",
          "Host/StallTimeout", "Host/FeedTimeout", "Host/MaxFileSize", "Host/CaFile",
          "Host/FeedURL is not a known setting"}) {
        EXPECT_TRUE(mentions(problems, key)) << key << " in:\n" << joined(problems);
    }
    EXPECT_TRUE(mentions(problems, "'soon'")) << "the bad value is quoted back";
    EXPECT_TRUE(mentions(problems, "from 1 to 29")) << "the range is named";
}

TEST(HostSettings, AcceptsOnlyUrlsAndKeysItCanUseAndSaysWhatIsWrongWithTheFile) {
    testsupport::TempDir dir;
    writeFile(dir.file("a.pub"), "# a key file\nRFKPjWSwEed9jX/+fCfH/TBFgsBT70/2kLfYf//VehI=\n");
    struct Case {
        std::string line;     // added to a minimal file; "" names the file below instead
        std::string file;     // "": a file of its own
        std::string problem;  // "": accepted
    };
    std::vector<Case> cases = {
        {"FeedUrl=file:///srv/feed.xml", "", ""},
        {"FeedUrl=/srv/feed.xml", "", ""},
        {"FeedUrl=file:feed.xml", "", "Host/FeedUrl"},
        {"FeedUrl=http:///feed.xml", "", "Host/FeedUrl"},
        {"ReportUrl=/srv/installed.log", "", "Host/ReportUrl"},
        {"FeedPublicKeys=a.pub, RFKPjWSwEed9jX/+fCfH/TBFgsBT70/2kLfYf//VehI=", "", ""},
        {"FeedPublicKeys=a.pub, QUJD", "", "Host/FeedPublicKeys has an entry that is not usable"},
        {"FeedPublicKeys=", "", "Host/FeedPublicKeys is set but names no key"},
        {"HealthCommand=\"./check.sh \\\"a b\\\"\"", "", ""},  // INI: the value quoted, inner quotes escaped
        {"HealthCommand=", "", "Host/HealthCommand must name a program"},
        {"HealthTimeout=0", "", "Host/HealthTimeout must be a whole number from 1 to 86400, not '0'"},
        {"InstallWindow=22:00-02:00", "", ""},
        {"InstallWindow=2-5", "", "Host/InstallWindow must be a time span HH:MM-HH:MM such as 02:00-05:00, not '2-5'"},
        {"InstallWindow=24:00-02:00", "", "Host/InstallWindow holds a time that does not exist"},
        {"InstallWindow=02:00-02:00", "", "Host/InstallWindow starts and ends at the same time"},
        {"", dir.file("absent.ini"), "does not exist"},
        {"", dir.path(), "is a folder"},
    };
    writeFile(dir.file("locked.ini"), kMinimal);
    if (testsupport::lockAway(dir.file("locked.ini"))) cases.push_back({"", dir.file("locked.ini"), "cannot be read"});
    int number = 0;
    for (const Case& c : cases) {
        // A file of its own per case: QSettings keeps what it parsed of a path.
        std::string file = c.file;
        if (file.empty()) {
            file = dir.file("host-" + std::to_string(++number) + ".ini");
            writeFile(file, std::string(kMinimal) + c.line + "\n");
        }
        HostSettings settings;
        std::vector<std::string> problems;
        EXPECT_EQ(c.problem.empty(), loadHostSettings(file, settings, problems)) << c.line << "\n" << joined(problems);
        EXPECT_TRUE(c.problem.empty() || mentions(problems, c.problem)) << c.line << "\n" << joined(problems);
        if (c.line.rfind("FeedPublicKeys=a.pub, R", 0) == 0) {
            EXPECT_EQ((std::vector<std::string>{dir.file("a.pub"), "RFKPjWSwEed9jX/+fCfH/TBFgsBT70/2kLfYf//VehI="}),
                      settings.backend.feedTrust.publicKeys) << "a key file is taken from the file's folder";
        }
        if (c.line.rfind("HealthCommand=\"", 0) == 0) {
            EXPECT_EQ((std::vector<std::string>{dir.file("check.sh"), "a b"}), settings.afterUpdate.healthCommand);
        }
    }
}

}  // namespace
