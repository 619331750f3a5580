// The module as the host sees it: its entry, and the whole road of one update
// driven through a component that the host's plug-in manager created.
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <QLibrary>
#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "plugin/IComponent.h"
#include "plugin/PluginABI.h"
#include "plugin/PluginManager.h"

namespace componenttest {
namespace {

const UUId AppA("6c1f3a2e-8b4d-4f0a-9e21-0a7d5b3c9f11");

// What the module handed to the host's registration function, and its answer.
std::vector<std::pair<std::string, PF_RegistrationRecord>> g_registrations;
int32_t g_registerResult = 0;

int32_t recordRegistration(const char* objectType, const PF_RegistrationRecord* record) {
    g_registrations.emplace_back(objectType, *record);
    return g_registerResult;
}

class ModuleTest : public ::testing::Test {
protected:
    ModuleTest()
        : configuration(std::map<std::string, std::string>{{"Identities/DomainID", "road-test"},
                                                           {"Kestrup/DownloadRetryInterval", "1"}}),
          store(dir.file("store")),
          registry(dir.file("registry.xml")),
          userDataHome(useTemporaryUserDataHome()) {
        registry.set(AppA, 5);
    }

    IComponent* createAndStart() {
        IComponent* component = static_cast<IComponent*>(plugins.createObject("Kestrup"));
        if (component) {
            component->initialize();
            component->start();
        }
        return component;
    }

    void stopAndDestroy(IComponent* component) {
        component->stop();
        component->uninitialize();
        EXPECT_EQ(0, plugins.destroyObject("Kestrup", component));
    }

    // First, so it goes last: messages that the module built (and whose shared
    // pointers it made) must all be gone before the module is unloaded.
    PluginManager plugins;
    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration;
    StoreFolder store;
    RegistryFile registry;
    std::string userDataHome;
    FakeBackend backend;
    FakeDownloadService downloads;
    Client client;
};

TEST_F(ModuleTest, TheEntryRegistersTheTypeKestrupWithItsFunctions) {
    QLibrary module(QStringLiteral(KESTRUP_MODULE_PATH));
    ASSERT_TRUE(module.load()) << module.errorString().toStdString();
    PF_InitFunc init = reinterpret_cast<PF_InitFunc>(module.resolve(PF_INIT_PLUGIN_SYMBOL));
    ASSERT_NE(nullptr, init);
    PF_HostServices services;
    std::memset(&services, 0, sizeof(services));
    services.registerObject = &recordRegistration;
    for (int32_t result : {0, 5, -1}) {
        g_registerResult = result;
        PF_ExitFunc exitFunc = init(&services);
        ASSERT_EQ(result < 0, exitFunc == nullptr) << "a refused registration gives no exit function";
        if (exitFunc) {
            EXPECT_EQ(0, exitFunc());
        }
    }
    ASSERT_EQ(3u, g_registrations.size());
    const PF_RegistrationRecord record = g_registrations[0].second;
    EXPECT_EQ("Kestrup", g_registrations[0].first);
    EXPECT_EQ(std::make_tuple(1, 0, 1), std::make_tuple(record.versionMajor, record.versionMinor,
                                                        record.programmingLanguage));
    ASSERT_TRUE(record.createFunc && record.destroyFunc);

    // A null object is refused, one never initialised goes quietly, a live one goes
    // after having left every topic.
    EXPECT_EQ(-1, record.destroyFunc(nullptr));
    EXPECT_EQ(0, record.destroyFunc(record.createFunc(nullptr)));
    IComponent* component = static_cast<IComponent*>(record.createFunc(nullptr));
    ASSERT_NE(nullptr, component);
    component->initialize();
    component->start();
    component->stop();
    EXPECT_EQ(0, record.destroyFunc(component));
    client.post("GetUpdateStatus", offering(AppA, 1), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(1, std::chrono::milliseconds(300)));
    module.unload();
}

TEST_F(ModuleTest, CheckPrepareDownloadLaunchAndARestartAfterTheInstall) {
    ASSERT_TRUE(plugins.loadPlugin(KESTRUP_MODULE_PATH)) << plugins.lastError();
    IComponent* component = createAndStart();
    ASSERT_NE(nullptr, component) << plugins.lastError();
    const std::string marker = dir.file("installer-ran");
    const std::string installer = placeRecordingInstaller(dir.file("setup.sh"), marker);

    // 1. The check finds an update.
    KSFile file = makeFile({"http://mirror-one.test/setup.sh", "http://mirror-two.test/setup.sh"}, "--silent");
    backend.setManifest(makeManifest(AppA, file));
    EXPECT_EQ(792, resultOf(client.ask("GetUpdateStatus", offering(AppA, 4), UUId::generate())));

    // 2. Prepare: the first mirror fails, the second delivers into the user's data folder.
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.script({FakeDownloadService::fail(5), FakeDownloadService::finish(installer)});
    EXPECT_EQ(0, resultOf(client.ask("PrepareForInstall", offering(AppA, 5), session)));
    boost::shared_ptr<LocalMessage> finished = status.waitForType("KestrupStatus");
    ASSERT_TRUE(finished);
    EXPECT_EQ(794, resultOf(finished));
    EXPECT_EQ(testsupport::nativePath(userDataHome + "/Corvane/Brenmark/"),
              boost::dynamic_pointer_cast<StartRequestPayload>(downloads.requests("Start")[1]->getPayload())
                  ->getDestinationFolder());

    // 3. Launch: answered once the launcher has started the installer.
    Client launcher;
    launcher.post("LaunchInstall", offering(AppA, 5), UUId::generate());
    boost::shared_ptr<LocalMessage> started = launcher.replies().waitForType("OperationSuccess");
    ASSERT_TRUE(started);
    EXPECT_EQ(session, started->getSessionId());
    ASSERT_TRUE(waitFor([&] { return readFile(marker) == "--silent\n"; }));

    // 4. The installer raised the registered version; the host restarts.
    stopAndDestroy(component);
    registry.set(AppA, 6);
    component = createAndStart();
    ASSERT_NE(nullptr, component);
    ASSERT_TRUE(waitFor([&] { return !backend.received("UpdateInstalled").empty(); }));
    boost::shared_ptr<ServiceOfferingEntity> reported = boost::dynamic_pointer_cast<ServiceOfferingEntity>(
        backend.received("UpdateInstalled")[0]->getPayload());
    ASSERT_TRUE(reported);
    EXPECT_TRUE(*reported == ServiceOfferingEntity(AppA, 6));

    // Back in Idle: the next request checks again.
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    EXPECT_EQ(791, resultOf(client.ask("GetUpdateStatus", offering(AppA, 6), UUId::generate())));
    EXPECT_EQ(2u, backend.checkCount());
    stopAndDestroy(component);
}

}  // namespace
}  // namespace componenttest
