// The module as the host loads it: its entry registers the type "Kestrup", and the
// objects it creates leave every topic when destroyed. The workflow itself is the
// component suite's (the same code, linked directly).
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <QLibrary>
#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "plugin/IComponent.h"
#include "plugin/PluginABI.h"

namespace componenttest {
namespace {

// What the module handed to the host's registration function, and its answer.
std::vector<std::pair<std::string, PF_RegistrationRecord>> g_registrations;
int32_t g_registerResult = 0;

int32_t recordRegistration(const char* objectType, const PF_RegistrationRecord* record) {
    g_registrations.emplace_back(objectType, *record);
    return g_registerResult;
}

TEST(ModuleTest, TheEntryRegistersTheTypeKestrupWithItsFunctions) {
    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration(std::map<std::string, std::string>{{"Identities/DomainID", "module-test"}});
    StoreFolder store(dir.file("store"));
    RegistryFile registry(dir.file("registry.xml"));
    useTemporaryUserDataHome();
    Client client;
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
    // Answered while live (an application the registry does not know), not after.
    EXPECT_EQ(801, resultOf(client.ask("GetUpdateStatus", offering(UUId::generate(), 1), UUId::generate())));
    component->stop();
    EXPECT_EQ(0, record.destroyFunc(component));
    client.post("GetUpdateStatus", offering(UUId::generate(), 1), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(2, std::chrono::milliseconds(300)));
    module.unload();
}

}  // namespace
}  // namespace componenttest
