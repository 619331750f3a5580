// The module as the host sees it: its entry, and the whole road of one update
// driven through a component that the host's plug-in manager created.
#include <dlfcn.h>

#include <cstring>
#include <map>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "plugin/IComponent.h"
#include "plugin/PluginABI.h"
#include "plugin/PluginManager.h"

namespace componenttest {
namespace {

const UUId AppA("6c1f3a2e-8b4d-4f0a-9e21-0a7d5b3c9f11");

bool fileExists(const std::string& path) {
    return std::ifstream(path).good();
}

// What the module handed to the host's registration function.
struct Registration {
    std::string type;
    PF_RegistrationRecord record;
    int calls = 0;
};
Registration g_registration;
int32_t g_registerResult = 0;

int32_t recordRegistration(const char* objectType, const PF_RegistrationRecord* record) {
    ++g_registration.calls;
    g_registration.type = objectType;
    g_registration.record = *record;
    return g_registerResult;
}

TEST(PluginEntry, RegistersTheTypeKestrupAndHandsBackItsFunctions) {
    void* module = ::dlopen(KESTRUP_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << ::dlerror();
    PF_InitFunc init = reinterpret_cast<PF_InitFunc>(::dlsym(module, PF_INIT_PLUGIN_SYMBOL));
    ASSERT_NE(nullptr, init);

    PF_HostServices services;
    std::memset(&services, 0, sizeof(services));
    services.registerObject = &recordRegistration;
    for (int32_t accepted : {0, 5}) {
        g_registration = Registration();
        g_registerResult = accepted;
        PF_ExitFunc exitFunc = init(&services);
        ASSERT_NE(nullptr, exitFunc) << accepted;
        EXPECT_EQ(0, exitFunc());
        EXPECT_EQ(1, g_registration.calls);
        EXPECT_EQ("Kestrup", g_registration.type);
        EXPECT_EQ(1, g_registration.record.versionMajor);
        EXPECT_EQ(0, g_registration.record.versionMinor);
        EXPECT_NE(nullptr, g_registration.record.createFunc);
        EXPECT_NE(nullptr, g_registration.record.destroyFunc);
        EXPECT_EQ(1, g_registration.record.programmingLanguage);
    }
    g_registerResult = -1;
    EXPECT_EQ(nullptr, init(&services)) << "a refused registration";

    // The registered functions: a null object is refused; a live one goes after
    // having left every topic.
    testsupport::TempDir dir;
    testsupport::MemoryConfiguration configuration(std::map<std::string, std::string>{{"Identities/DomainID", "entry-test"}});
    StoreFolder store(dir.file("store"));
    useTemporaryUserDataHome();
    EXPECT_EQ(-1, g_registration.record.destroyFunc(nullptr));
    void* object = g_registration.record.createFunc(nullptr);
    ASSERT_NE(nullptr, object);
    IComponent* component = static_cast<IComponent*>(object);
    component->initialize();
    component->start();
    component->stop();
    EXPECT_EQ(0, g_registration.record.destroyFunc(object));

    Client client;
    client.post("GetUpdateStatus", offering(AppA, 1), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(1, std::chrono::milliseconds(300)));
    ::dlclose(module);
}

class ModuleRoadTest : public ::testing::Test {
protected:
    ModuleRoadTest()
        : plugins(),
          configuration(std::map<std::string, std::string>{{"Identities/DomainID", "road-test"},
                         {"Kestrup/DownloadRetryInterval", "1"},
                         {"Kestrup/CheckForUpdateInterval", "0"}}),
          store(dir.file("store")),
          registry(dir.file("registry.xml")) {
        userDataHome = useTemporaryUserDataHome();
        registry.set(AppA, 5);
    }

    IComponent* createAndStart() {
        void* object = plugins.createObject("Kestrup");
        EXPECT_NE(nullptr, object) << plugins.lastError();
        IComponent* component = static_cast<IComponent*>(object);
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

TEST_F(ModuleRoadTest, CheckPrepareDownloadLaunchAndARestartAfterTheInstall) {
    ASSERT_TRUE(plugins.loadPlugin(KESTRUP_MODULE_PATH)) << plugins.lastError();
    IComponent* component = createAndStart();
    ASSERT_NE(nullptr, component);

    // The installer: a script that notes that it ran, with its arguments.
    const std::string marker = dir.file("installer-ran");
    const std::string installer = dir.file("setup.sh");
    {
        std::ofstream script(installer);
        script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << marker << ".tmp'\nmv '" << marker << ".tmp' '"
               << marker << "'\n";
    }
    ::chmod(installer.c_str(), 0755);

    // 1. The check finds an update.
    KSFile file = makeFile({"http://mirror-one.test/setup.sh", "http://mirror-two.test/setup.sh"}, "--silent");
    backend.setManifest(makeManifest(AppA, file));
    EXPECT_EQ(792, resultOf(client.ask("GetUpdateStatus", offering(AppA, 4), UUId::generate())));

    // 2. Prepare: the first mirror fails, the second delivers.
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.script({FakeDownloadService::fail(5), FakeDownloadService::finish(installer)});
    EXPECT_EQ(0, resultOf(client.ask("PrepareForInstall", offering(AppA, 5), session)));

    // 3. The download finished.
    boost::shared_ptr<LocalMessage> finished = status.waitForType("KestrupStatus");
    ASSERT_TRUE(finished);
    EXPECT_EQ(794, resultOf(finished));
    EXPECT_EQ(session, finished->getSessionId());
    const auto starts = downloads.requests("Start");
    ASSERT_EQ(2u, starts.size());
    boost::shared_ptr<StartRequestPayload> startPayload =
        boost::dynamic_pointer_cast<StartRequestPayload>(starts[1]->getPayload());
    ASSERT_TRUE(startPayload);
    EXPECT_EQ("http://mirror-two.test/setup.sh", startPayload->getUrl());
    EXPECT_EQ(userDataHome + "/Corvane/Brenmark/", startPayload->getDestinationFolder());
    EXPECT_EQ(794, resultOf(client.ask("GetUpdateStatus", offering(AppA, 5), UUId::generate())));

    // 4. Launch: answered once the launcher has started the installer.
    Client launcher;
    launcher.post("LaunchInstall", offering(AppA, 5), UUId::generate());
    boost::shared_ptr<LocalMessage> started = launcher.replies().waitForType("OperationSuccess");
    ASSERT_TRUE(started);
    EXPECT_EQ(0, resultOf(started));
    EXPECT_EQ(session, started->getSessionId());
    ASSERT_TRUE(waitUntil([&] { return fileExists(marker); }));
    std::ifstream ran(marker);
    std::string argument;
    std::getline(ran, argument);
    EXPECT_EQ("--silent", argument);
    ASSERT_TRUE(launcher.replies().waitForCount(2));  // the launcher's repeated start
    EXPECT_EQ(795, resultOf(client.ask("GetUpdateStatus", offering(AppA, 5), UUId::generate())));

    // 5. The installer raised the registered version; the host restarts.
    stopAndDestroy(component);
    registry.set(AppA, 6);
    component = createAndStart();
    ASSERT_NE(nullptr, component);

    boost::shared_ptr<LocalMessage> installed = backend.waitForUpdateInstalled(std::chrono::seconds(10));
    ASSERT_TRUE(installed);
    boost::shared_ptr<ServiceOfferingEntity> reported =
        boost::dynamic_pointer_cast<ServiceOfferingEntity>(installed->getPayload());
    ASSERT_TRUE(reported);
    EXPECT_EQ(AppA, reported->getApplicationId());
    EXPECT_EQ(6u, reported->getVersionNumber());

    // Back in Idle: the next request checks again.
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    EXPECT_EQ(791, resultOf(client.ask("GetUpdateStatus", offering(AppA, 6), UUId::generate())));
    EXPECT_EQ(2u, backend.checkCount());

    stopAndDestroy(component);
}

}  // namespace
}  // namespace componenttest
