// The update feed, and the backend client on the real bus.
#include <filesystem>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>


#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "BackendClient.h"
#include "ServiceFixture.h"
#ifndef _WIN32
#include "NginxServer.h"
#endif
#include "UpdateFeed.h"
#include "host/KestrupUtility.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

using namespace servicetests;
using kestrup_services::UpdateFeed;
using kestrup_services::parseUpdateFeed;

namespace {

const char* const kAppA = "3f0c6a52-1111-4a4a-8a8a-000000000001";
const char* const kAppB = "3f0c6a52-2222-4b4b-8b8b-000000000002";
const char* const kAppC = "3f0c6a52-3333-4c4c-8c8c-000000000003";
const std::string kDigest2(64, 'a');
const std::string kDigest3(64, 'B');

// Application A has releases 1, 3 and 2 (out of order on purpose); B has 5.
std::string sampleFeed() {
    return std::string("<?xml version=\"1.0\"?>\n<updateFeed>\n") +
           "  <application id=\"" + kAppA + "\">\n"
           "    <release version=\"1\" label=\"1.0\"><mirror url=\"https://a.example/app-1.run\"/></release>\n"
           "    <release version=\"3\" label=\"3.0 beta\">\n"
           "      <arguments> --quiet --mode=full </arguments>\n"
           "      <digest>" + kDigest3 + "</digest>\n"
           "      <mirror url=\"https://a.example/app-3.run\" eulaUrl=\"https://a.example/eula\"/>\n"
           "      <mirror url=\"installers/app-3.run\" eulaUrl=\"eula.txt\"/>\n"
           "      <unknownElement/>\n"
           "    </release>\n"
           "    <release version=\"2\"><digest>" + kDigest2 + "</digest>"
           "<mirror url=\"http://b.example/app-2.run\"/></release>\n"
           "  </application>\n"
           "  <application id=\"{" + std::string(kAppB) + "}\">\n"
           "    <release version=\"5\" label=\"5\"><mirror url=\"https://b.example/b-5.run\"/></release>\n"
           "  </application>\n"
           "</updateFeed>\n";
}

TEST(UpdateFeedTest, BrokenFeedsAreRejectedAsAWhole) {
    const std::string app = std::string("<application id=\"") + kAppA + "\">";
    const std::string mirror = "<mirror url=\"https://a.example/x\"/>";
    struct Case {
        const char* what;
        std::string xml;
        const char* mentions;
    };
    const std::vector<Case> cases = {
        {"not XML", "<updateFeed><application>", "line 1"},
        {"another root", "<feed/>", "'feed'"},
        {"id that is no UUID", "<updateFeed><application id=\"app-1\"/></updateFeed>", "app-1"},
        {"fractional version", "<updateFeed>" + app + "<release version=\"1.5\">" + mirror + "</release></application></updateFeed>", "1.5"},
        {"version too large", "<updateFeed>" + app + "<release version=\"4294967296\">" + mirror + "</release></application></updateFeed>", "4294967296"},
        {"no mirror", "<updateFeed>" + app + "<release version=\"2\"/></application></updateFeed>", "mirror"},
        {"version twice", "<updateFeed>" + app + "<release version=\"2\">" + mirror + "</release><release version=\"2\">" + mirror + "</release></application></updateFeed>", "twice"},
        {"application twice", "<updateFeed>" + app + "</application>" + app + "</application></updateFeed>", "twice"},
        {"digest of another kind", "<updateFeed>" + app + "<release version=\"2\"><digest>abc</digest>" + mirror + "</release></application></updateFeed>", "digest"},
    };
    for (const Case& c : cases) {
        UpdateFeed feed;
        feed.applications["keep"];
        std::string error;
        EXPECT_FALSE(parseUpdateFeed(c.xml, "file:///feeds/feed.xml", feed, error)) << c.what;
        EXPECT_NE(std::string::npos, error.find(c.mentions)) << c.what << ": " << error;
        EXPECT_EQ(1u, feed.applications.count("keep")) << c.what << ": the feed was touched";
    }
}

class BackendClientTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        options.noProxy = "*";
        options.connectTimeoutSeconds = 5;
        options.requestTimeoutSeconds = 20;
    }
    void TearDown() override { client.reset(); }

    void startClient(const std::string& feedUrl) {
        options.feedUrl = feedUrl;
        client.reset(new BackendClient(options));
        ASSERT_TRUE(client->start());
    }

    void checkForUpdates(const UUId& session, const boost::shared_ptr<ISerializable>& payload) {
        post(BackendClient::Topic, "CheckForUpdates", session, payload);
    }

    boost::shared_ptr<ISerializable> requestFor(std::initializer_list<std::pair<const char*, uint32_t>> items) {
        std::list<ServiceOfferingEntity> entities;
        for (const auto& item : items) entities.push_back(ServiceOfferingEntity(UUId(item.first), item.second));
        return KestrupUtility::createCheckForUpdatesPayloadLP(entities);
    }

    BackendClientOptions options;
    std::unique_ptr<BackendClient> client;
};

TEST_F(BackendClientTest, AnswersWithTheManifestOrAnErrorOnTheReplyTopicAndSession) {
    ASSERT_TRUE(writeFile(www + "/feed.xml", sampleFeed()));
    for (const std::string& feedUrl : {server->url("/files/feed.xml"), fileUrl(www) + "/feed.xml"}) {
        SCOPED_TRACE(feedUrl);
        startClient(feedUrl);
        const UUId session = UUId::generate();
        checkForUpdates(session, requestFor({{kAppA, 1}, {kAppB, 5}, {kAppC, 0}}));
        auto manifest = answerOf<KSManifest>(session, "UpdateManifest");
        ASSERT_TRUE(manifest);
        const std::list<KSConfigurationItem> items = manifest->getConfigurationItems();
        ASSERT_EQ(1u, items.size());  // B is up to date, C is not in the feed
        const KSConfigurationItem& item = items.front();
        EXPECT_EQ(UUId(kAppA), item.getId());
        EXPECT_EQ(3, item.getNumber());
        EXPECT_EQ("3.0 beta", item.getVersionlabel());
        // Only the releases newer than 1, newest first.
        const std::list<KSDeliverable>& deliverables = item.getDeliverables();
        ASSERT_EQ(2u, deliverables.size());
        EXPECT_EQ(3, deliverables.front().getFirstNumber());
        EXPECT_EQ(2, deliverables.back().getFirstNumber());
        EXPECT_EQ("2", deliverables.back().getName());  // no label: the version in decimal
        ASSERT_EQ(1u, deliverables.front().getFiles().size());
        const KSFile& file = deliverables.front().getFiles().front();
        EXPECT_EQ("--quiet --mode=full", file.getArguments());
        EXPECT_EQ(kDigest3, file.getDigest());
        const std::list<KSMirror> mirrors = file.getMirrors();
        ASSERT_EQ(2u, mirrors.size());
        EXPECT_EQ("https://a.example/app-3.run", mirrors.front().getUrl());
        EXPECT_EQ("https://a.example/eula", mirrors.front().getEulaUrl());
        // Relative URLs are resolved against the feed's own URL.
        const std::string folder = feedUrl.substr(0, feedUrl.size() - 8);
        EXPECT_EQ(folder + "installers/app-3.run", mirrors.back().getUrl());
        EXPECT_EQ(folder + "eula.txt", mirrors.back().getEulaUrl());

        const UUId upToDate = UUId::generate();
        checkForUpdates(upToDate, requestFor({{kAppA, 3}, {kAppB, 7}}));
        manifest = answerOf<KSManifest>(upToDate, "UpdateManifest");
        ASSERT_TRUE(manifest);
        EXPECT_TRUE(manifest->getConfigurationItems().empty());
    }

    ASSERT_TRUE(writeFile(www + "/broken.xml", "<updateFeed><application id=\"nope\"/></updateFeed>"));
    struct Case {
        std::string feedUrl;
        BackendError code;
    };
    const std::vector<Case> cases = {
        {server->url("/files/broken.xml"), BackendError::FeedMalformed},
        {server->url("/files/missing.xml"), BackendError::FeedUnreadable},
        {fileUrl(www) + "/missing.xml", BackendError::FeedUnreadable},
        {"", BackendError::FeedUnreadable},
        {server->url("/files/feed.xml"), BackendError::InvalidRequest},  // a payload of another class
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feedUrl);
        startClient(c.feedUrl);
        const UUId session = UUId::generate();
        checkForUpdates(session, c.code == BackendError::InvalidRequest
                                     ? boost::shared_ptr<ISerializable>(boost::make_shared<ServiceOfferingEntity>(UUId(kAppA), 1))
                                     : requestFor({{kAppA, 1}}));
        const auto report = answerOf<StatusReportPayload>(session, "UpdateFeedError");
        if (report) { EXPECT_EQ(static_cast<int32_t>(c.code), report->getCode()) << report->getMessage(); }
    }
}

#ifndef _WIN32  // nginx and openssl are Linux programs
TEST_F(BackendClientTest, FeedsAsWebServersSendThem) {
    ASSERT_TRUE(std::filesystem::create_directory(www + "/feeds"));
    ASSERT_TRUE(writeFile(www + "/feeds/feed.xml", sampleFeed()));
    std::string local = sampleFeed();
    local.replace(local.find("installers/app-3.run"), 20, "file:///etc/passwd");
    ASSERT_TRUE(writeFile(www + "/feeds/local.xml", local));
    const std::string nginxFolder = temp.file("nginx");
    ASSERT_TRUE(std::filesystem::create_directory(nginxFolder));
    NginxServer nginx(nginxFolder, www,
                      "location = /moved/feed.xml { return 301 /feeds/feed.xml; }\n"
                      "location = /plain/feed.xml { return 302 @HTTP@/feeds/feed.xml; }\n"
                      "location /badgzip/ { alias " + www + "/feeds/; gzip off; add_header Content-Encoding gzip; }");
    ASSERT_TRUE(nginx.started()) << nginx.startError();
    options.caInfo = nginx.caFile();
    struct Case {
        std::string feedUrl;
        int32_t code;                // 0: a manifest
        std::string mentions;        // the relative mirror's URL, or a piece of the error
    };
    const std::vector<Case> cases = {
        // gzip over HTTP/2; a relative mirror is resolved against where the feed was read.
        {nginx.httpsUrl("/feeds/feed.xml"), 0, nginx.httpsUrl("/feeds/installers/app-3.run")},
        {nginx.httpsUrl("/moved/feed.xml"), 0, nginx.httpsUrl("/feeds/installers/app-3.run")},
        {nginx.httpsUrl("/plain/feed.xml"), 311,
         "the redirect from " + nginx.httpsUrl("/plain/feed.xml") + " to " + nginx.httpUrl("/feeds/feed.xml")},
        {nginx.httpsUrl("/badgzip/feed.xml"), 311, "Content-Encoding 'gzip' cannot be decoded"},
        {nginx.httpUrl("/feeds/local.xml"), 312, "'file:///etc/passwd' is not an http or https URL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feedUrl);
        startClient(c.feedUrl);
        const UUId session = UUId::generate();
        checkForUpdates(session, requestFor({{kAppA, 1}}));
        if (c.code != 0) {
            const auto report = answerOf<StatusReportPayload>(session, "UpdateFeedError");
            ASSERT_TRUE(report);
            EXPECT_EQ(c.code, report->getCode());
            EXPECT_NE(std::string::npos, report->getMessage().find(c.mentions)) << report->getMessage();
            continue;
        }
        const auto manifest = answerOf<KSManifest>(session, "UpdateManifest");
        ASSERT_TRUE(manifest);
        ASSERT_EQ(1u, manifest->getConfigurationItems().size());
        const KSFile file = manifest->getConfigurationItems().front().getDeliverables().front().getFiles().front();
        EXPECT_EQ(c.mentions, file.getMirrors().back().getUrl());
    }
    bool compressed = false;
    for (const std::string& line : nginx.requests()) compressed |= line.find("GET /feeds/feed.xml 200 range=- if-range=- enc=gzip ae=gzip, deflate HTTP/2.0") == 0;
    EXPECT_TRUE(compressed);
    // The same local mirror is fine in a feed read from a local file.
    startClient("file://" + www + "/feeds/local.xml");
    const UUId session = UUId::generate();
    checkForUpdates(session, requestFor({{kAppA, 1}}));
    EXPECT_TRUE(answerOf<KSManifest>(session, "UpdateManifest"));
}
#endif

TEST_F(BackendClientTest, InstalledVersionsArePostedToTheReportUrl) {
    options.reportUrl = server->url("/report");
    startClient("");
    KestrupUtility::notifyBackendAboutUpdate(UUId(kAppA), 2, UUId().getValue(), "Some \"quoted\" <user>");

    ASSERT_TRUE(testsupport::waitFor([&] { return !server->reports().empty(); }));
    const std::vector<std::string> reports = server->reports();
    ASSERT_EQ(1u, reports.size());
    pugi::xml_document report;
    ASSERT_TRUE(report.load_string(reports[0].c_str())) << reports[0];
    const pugi::xml_node installed = report.child("updateInstalled");
    EXPECT_STREQ(kAppA, installed.attribute("applicationId").value());
    EXPECT_STREQ("2", installed.attribute("version").value());
    EXPECT_STREQ("00000000-0000-0000-0000-000000000000", installed.attribute("sessionId").value());
    EXPECT_STREQ("Some \"quoted\" <user>", installed.attribute("user").value());
    EXPECT_TRUE(logger.contains("BACKEND_CLIENT: Application " + std::string(kAppA) + " now runs version 2"));
}

// One check at a time is fetched and a bounded number wait; stop ends the fetch and
// the waiting checks without an answer.
TEST_F(BackendClientTest, ChecksBeyondTheQueueAreRefusedAndStopEndsAFetchWithoutAnswer) {
    ASSERT_TRUE(writeFile(www + "/feed.xml", sampleFeed()));
    options.maxQueuedRequests = 1;
    startClient(server->url("/stall/feed.xml?after=10"));
    const UUId fetched = UUId::generate(), waiting = UUId::generate(), refused = UUId::generate();
    checkForUpdates(fetched, requestFor({{kAppA, 1}}));
    ASSERT_TRUE(testsupport::waitFor([&] { return !server->requests().empty(); }));
    checkForUpdates(waiting, requestFor({{kAppA, 1}}));
    checkForUpdates(refused, requestFor({{kAppA, 1}}));
    const auto report = answerOf<StatusReportPayload>(refused, "UpdateFeedError");
    ASSERT_TRUE(report);
    EXPECT_EQ(static_cast<int32_t>(BackendError::Busy), report->getCode());

    client->stop();
    EXPECT_FALSE(client->isRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, replies.count());
}

}  // namespace
