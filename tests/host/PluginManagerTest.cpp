#include "plugin/PluginManager.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using testsupport::CapturingLogger;

bool hasType(const PluginManager& manager, const std::string& type) {
    const std::vector<std::string> types = manager.registeredTypes();
    return std::find(types.begin(), types.end(), type) != types.end();
}

TEST(PluginManagerTest, LoadsModuleAndCreatesAndDestroysByTypeName) {
    CapturingLogger log;
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
    EXPECT_EQ(manager.registeredTypes(), (std::vector<std::string>{"TestWidget", "ThrowingWidget"}));

    // The create and destroy functions called are the ones the module registered.
    void* first = manager.createObject("TestWidget");
    void* second = manager.createObject("TestWidget");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(log.countContaining("TESTMODULE good: create"), 2u);

    EXPECT_EQ(manager.destroyObject("TestWidget", first), 0);
    EXPECT_EQ(manager.destroyObject("TestWidget", second), 0);
    EXPECT_EQ(log.countContaining("TESTMODULE good: destroy"), 2u);
    EXPECT_FALSE(log.contains("foreign object"));
}

TEST(PluginManagerTest, RefusesToDestroyWhatItDidNotCreate) {
    CapturingLogger log;
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();

    int stranger = 0;
    EXPECT_EQ(manager.destroyObject("TestWidget", &stranger), -1);
    EXPECT_EQ(manager.destroyObject("TestWidget", nullptr), -1);

    void* widget = manager.createObject("TestWidget");
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(manager.destroyObject("ThrowingWidget", widget), -1) << "wrong type name";
    EXPECT_EQ(manager.destroyObject("TestWidget", widget), 0);
    EXPECT_EQ(manager.destroyObject("TestWidget", widget), -1) << "destroyed twice";

    // None of the refused calls reached the module.
    EXPECT_EQ(log.countContaining("TESTMODULE good: destroy"), 1u);
    EXPECT_FALSE(log.contains("foreign object"));
}

TEST(PluginManagerTest, UnknownTypeAndThrowingCreate) {
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();

    EXPECT_EQ(manager.createObject("NoSuchType"), nullptr);
    EXPECT_NE(manager.lastError().find("NoSuchType"), std::string::npos);

    EXPECT_THROW(manager.createObject("ThrowingWidget"), std::runtime_error);
}

TEST(PluginManagerTest, ExitFunctionRunsAtUnloadAndTypesAreForgotten) {
    CapturingLogger log;
    {
        PluginManager manager;
        ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
        EXPECT_FALSE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << "loaded twice";
        EXPECT_EQ(log.countContaining("TESTMODULE good: init"), 1u);

        EXPECT_TRUE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
        EXPECT_EQ(log.countContaining("TESTMODULE good: exit"), 1u);
        EXPECT_TRUE(manager.registeredTypes().empty());
        EXPECT_EQ(manager.createObject("TestWidget"), nullptr);
        EXPECT_FALSE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));

        // Loaded again, it registers again; the destructor unloads it.
        ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
        EXPECT_TRUE(hasType(manager, "TestWidget"));
    }
    EXPECT_EQ(log.countContaining("TESTMODULE good: exit"), 2u);
}

TEST(PluginManagerTest, ObjectStillAliveAtUnloadCannotBeDestroyedLater) {
    CapturingLogger log;
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
    void* widget = manager.createObject("TestWidget");
    ASSERT_NE(widget, nullptr);

    ASSERT_TRUE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
    EXPECT_TRUE(log.contains("still alive at unload"));
    // The module's code is gone: the manager must not call into it.
    EXPECT_EQ(manager.destroyObject("TestWidget", widget), -1);
}

TEST(PluginManagerTest, RejectsModulesThatCannotBeUsed) {
    struct Case {
        const char* path;
        const char* reasonInError;
    };
    const Case cases[] = {
        {TEST_MODULE_MISSING_PATH, "cannot load"},
        {TEST_MODULE_NOINIT_PATH, "does not export PF_initPlugin"},
        {TEST_MODULE_REFUSED_PATH, "without create and destroy functions"},
        {TEST_MODULE_IGNORES_REFUSAL_PATH, "interface version 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CapturingLogger log;
        PluginManager manager;
        EXPECT_FALSE(manager.loadPlugin(c.path));
        EXPECT_NE(manager.lastError().find(c.reasonInError), std::string::npos) << manager.lastError();
        EXPECT_TRUE(log.contains("PluginManager: ")) << "the failure is logged";
        EXPECT_TRUE(manager.registeredTypes().empty());
        EXPECT_FALSE(manager.unloadPlugin(c.path)) << "a rejected module is not kept";
    }
}

TEST(PluginManagerTest, ModuleThatInitialisedWithoutTypesGetsItsExitCall) {
    CapturingLogger log;
    PluginManager manager;
    EXPECT_FALSE(manager.loadPlugin(TEST_MODULE_IGNORES_REFUSAL_PATH));
    EXPECT_NE(manager.lastError().find("registered no object type"), std::string::npos) << manager.lastError();
    EXPECT_EQ(log.countContaining("TESTMODULE ignores_refusal: exit"), 1u);
}

TEST(PluginManagerTest, FailedInitLeavesNoneOfItsRegistrations) {
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();

    // "PartialWidget" is accepted, then "TestWidget" is refused as a duplicate and
    // the module gives up: the accepted half must not stay behind.
    EXPECT_FALSE(manager.loadPlugin(TEST_MODULE_PARTIAL_PATH));
    EXPECT_NE(manager.lastError().find("'TestWidget' is already registered"), std::string::npos)
        << manager.lastError();
    EXPECT_FALSE(hasType(manager, "PartialWidget"));
    EXPECT_EQ(manager.createObject("PartialWidget"), nullptr);

    // Once the owner of "TestWidget" is gone, the same module loads.
    ASSERT_TRUE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_PARTIAL_PATH)) << manager.lastError();
    EXPECT_EQ(manager.registeredTypes(), (std::vector<std::string>{"PartialWidget", "TestWidget"}));
}

TEST(PluginManagerTest, ManagersKeepSeparateRegistries) {
    // Two frameworks in one process keep separate registries.
    PluginManager first;
    PluginManager second;
    ASSERT_TRUE(first.loadPlugin(TEST_MODULE_GOOD_PATH)) << first.lastError();
    ASSERT_TRUE(second.loadPlugin(TEST_MODULE_PARTIAL_PATH)) << second.lastError();
    EXPECT_FALSE(hasType(first, "PartialWidget"));
    EXPECT_TRUE(hasType(second, "TestWidget"));
}

}  // namespace
