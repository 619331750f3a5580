// The update component with the real backend client and download service: a feed
// on a loopback HTTP server, the component's own proxy and retries, and the
// "KestrupStatus" that ends the download.
#include <filesystem>
#include <memory>
#include <string>


#include <gtest/gtest.h>

#include "BackendClient.h"
#include "ComponentTestSupport.h"
#include "DownloadService.h"
#include "KSPersistentState.h"
#include "Kestrup.h"
#include "LoopbackServer.h"
#include "support/TestSupport.h"
#include "util/common/UserDataFolder.h"

using namespace componenttest;
namespace st = servicetests;

namespace {

const UUId kApp("5b2d7c1e-4a3f-4e8b-9c0d-112233445566");

class ServicesRoadTest : public ::testing::Test {
protected:
    ServicesRoadTest() : store(dir.file("store")), registry(dir.file("registry.xml")) {}

    void SetUp() override {
        useTemporaryUserDataHome();
        // The download folder outlives each test; start every test with it empty.
        downloadFolder = UserDataFolder::get();
        for (const std::string& name : st::folderEntries(downloadFolder)) {
            std::filesystem::remove(downloadFolder + "/" + name);
        }
        registry.set(kApp, 1);
        www = dir.file("www");
        ASSERT_TRUE(std::filesystem::create_directory(www));
        server.reset(new st::LoopbackServer(www));
        ASSERT_TRUE(server->started()) << server->startError();
        content = st::patternBytes(150000, 7);
        ASSERT_TRUE(st::writeFile(www + "/app-2.run", content));

        configuration.reset(new testsupport::MemoryConfiguration({{"Identities/DomainID", "services-road"},
                                                                  {"Kestrup/DownloadRetries", "1"},
                                                                  {"Kestrup/DownloadRetryInterval", "0"},
                                                                  {"Kestrup/CheckForUpdateInterval", "0"}}));
        DownloadServiceOptions downloadOptions;
        downloadOptions.noProxy = "*";
        downloadOptions.connectTimeoutSeconds = 5;
        downloadOptions.stateFolder = dir.file("download-state");
        downloads.reset(new DownloadService(downloadOptions));
        ASSERT_TRUE(downloads->start());
    }

    void TearDown() override {
        if (component) {
            component->stop();
            component->uninitialize();
            component.reset();
        }
        downloads.reset();
        backend.reset();
        server.reset();
    }

    // A feed offering version 2 of the application from the given mirrors.
    void publish(const std::vector<std::string>& mirrors) {
        std::string feed = "<updateFeed><application id=\"" + kApp.getValue() + "\">"
                           "<release version=\"2\" label=\"2.0\"><arguments>--quiet</arguments>"
                           "<digest>" + st::sha256Hex(content) + "</digest>";
        for (const std::string& mirror : mirrors) feed += "<mirror url=\"" + mirror + "\"/>";
        feed += "</release></application></updateFeed>";
        ASSERT_TRUE(st::writeFile(www + "/feed.xml", feed));

        BackendClientOptions backendOptions;
        backendOptions.feedUrl = server->url("/files/feed.xml");
        backendOptions.noProxy = "*";
        backend.reset(new BackendClient(backendOptions));
        ASSERT_TRUE(backend->start());

        component.reset(new Kestrup());
        component->initialize();
        component->start();
    }

    // Runs the update check and the download; returns the "KestrupStatus" code.
    int32_t download(const UUId& session) {
        EXPECT_EQ(792, resultOf(client.ask("GetUpdateStatus", offering(kApp, 1), session)));
        testsupport::RecordingSink status({statusTopic(session)});
        EXPECT_EQ(0, resultOf(client.ask("PrepareForInstall", offering(kApp, 1), session)));
        return resultOf(status.waitForType("KestrupStatus", std::chrono::seconds(60)));
    }

    std::size_t requestsFor(const std::string& path) const {
        std::size_t count = 0;
        for (const std::string& line : server->requests()) count += line.find(" " + path + " ") != std::string::npos;
        return count;
    }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    StoreFolder store;
    RegistryFile registry;
    std::string downloadFolder;
    std::string www;
    std::string content;
    std::unique_ptr<st::LoopbackServer> server;
    std::unique_ptr<testsupport::MemoryConfiguration> configuration;
    std::unique_ptr<DownloadService> downloads;
    std::unique_ptr<BackendClient> backend;
    Client client;
    std::unique_ptr<Kestrup> component;
};

TEST_F(ServicesRoadTest, DigestMismatchOnEveryMirrorEndsWith773AfterTheRetries) {
    publish({server->url("/wrong/app-2.run"), server->url("/wrong/app-2.run?second")});
    const UUId session = UUId::generate();

    EXPECT_EQ(773, download(session));
    // Two mirrors, tried once and then once more after the retry.
    EXPECT_EQ(2u, requestsFor("/wrong/app-2.run"));
    EXPECT_EQ(2u, requestsFor("/wrong/app-2.run?second"));
    EXPECT_EQ(KSPersistentState::Idle, component->getWorkflowState());
    // Neither a partial nor a final file of the failed digest stays behind.
    EXPECT_TRUE(st::folderEntries(downloadFolder).empty());
}

TEST_F(ServicesRoadTest, FailoverPastADeadMirrorDownloadsTheVerifiedInstaller) {
    publish({"http://127.0.0.1:1/app-2.run", server->url("/files/app-2.run")});
    const UUId session = UUId::generate();

    EXPECT_EQ(794, download(session));
    EXPECT_EQ(KSPersistentState::Downloaded, component->getWorkflowState());
    std::string installer;
    ASSERT_EQ(0, KSPersistentState().readInstallerFilename(installer));
    EXPECT_EQ(testsupport::nativePath(downloadFolder + "app-2.run"), testsupport::nativePath(installer));
    EXPECT_EQ(content, st::readFile(installer));
    EXPECT_TRUE(st::isOwnerOnly(installer));
}

}  // namespace
