#include "plugin/PluginManager.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using testsupport::CapturingLogger;
using Types = std::vector<std::string>;

TEST(PluginManagerTest, ObjectLifecycleAndUnload) {
    CapturingLogger log;
    {
        PluginManager manager;
        ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
        EXPECT_FALSE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << "loaded twice";
        EXPECT_EQ(log.countContaining("TESTMODULE good: init"), 1u);
        EXPECT_TRUE(log.contains("TESTMODULE good: second TestWidget refused")) << "a type registered twice";
        EXPECT_EQ(manager.registeredTypes(), (Types{"TestWidget", "ThrowingWidget"}));

        // The create and destroy functions called are the ones the module registered.
        void* first = manager.createObject("TestWidget");
        void* second = manager.createObject("TestWidget");
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_NE(first, second);
        EXPECT_EQ(log.countContaining("TESTMODULE good: create"), 2u);
        EXPECT_EQ(manager.createObject("NoSuchType"), nullptr);
        EXPECT_NE(manager.lastError().find("NoSuchType"), std::string::npos);
        EXPECT_THROW(manager.createObject("ThrowingWidget"), std::runtime_error);

        // What this manager did not create, or already destroyed, never reaches the module.
        int stranger = 0;
        EXPECT_EQ(manager.destroyObject("TestWidget", &stranger), -1);
        EXPECT_EQ(manager.destroyObject("TestWidget", nullptr), -1);
        EXPECT_EQ(manager.destroyObject("ThrowingWidget", first), -1) << "wrong type name";
        EXPECT_EQ(manager.destroyObject("TestWidget", first), 0);
        EXPECT_EQ(manager.destroyObject("TestWidget", first), -1) << "destroyed twice";
        EXPECT_EQ(log.countContaining("TESTMODULE good: destroy"), 1u);

        // Unloading with `second` alive: its code is gone, so it cannot be destroyed later.
        EXPECT_TRUE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
        EXPECT_TRUE(log.contains("still alive at unload"));
        EXPECT_EQ(log.countContaining("TESTMODULE good: exit"), 1u);
        EXPECT_EQ(manager.destroyObject("TestWidget", second), -1);
        EXPECT_TRUE(manager.registeredTypes().empty());
        EXPECT_EQ(manager.createObject("TestWidget"), nullptr);
        EXPECT_FALSE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
        EXPECT_EQ(log.countContaining("TESTMODULE good: destroy"), 1u);

        // Loaded again, it registers again; the destructor unloads it.
        ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
        EXPECT_EQ(manager.registeredTypes().size(), 2u);
    }
    EXPECT_EQ(log.countContaining("TESTMODULE good: exit"), 2u);
}

TEST(PluginManagerTest, ModulesThatCannotBeUsedAreReportedAndDropped) {
    struct Case {
        const char* path;
        const char* reasonInError;
        std::size_t exitCalls;  // a module that handed out its exit function gets it called
    };
    const Case cases[] = {
        {TEST_MODULE_MISSING_PATH, "cannot load", 0},
        {TEST_MODULE_NOINIT_PATH, "does not export PF_initPlugin", 0},
        {TEST_MODULE_REFUSED_PATH, "without create and destroy functions", 0},
        {TEST_MODULE_IGNORES_REFUSAL_PATH, "interface version 2", 1},
        {TEST_MODULE_IGNORES_REFUSAL_PATH, "registered no object type", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CapturingLogger log;
        PluginManager manager;
        EXPECT_FALSE(manager.loadPlugin(c.path));
        EXPECT_NE(manager.lastError().find(c.reasonInError), std::string::npos) << manager.lastError();
        EXPECT_TRUE(log.contains("PluginManager: ")) << "the failure is logged";
        EXPECT_EQ(log.countContaining(": exit"), c.exitCalls);
        EXPECT_TRUE(manager.registeredTypes().empty());
        EXPECT_FALSE(manager.unloadPlugin(c.path)) << "a rejected module is not kept";
    }
}

TEST(PluginManagerTest, FailedInitLeavesNoneOfItsRegistrationsAndManagersAreSeparate) {
    PluginManager manager;
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_GOOD_PATH)) << manager.lastError();
    // Another manager has its own registry, where "TestWidget" is still free.
    PluginManager other;
    ASSERT_TRUE(other.loadPlugin(TEST_MODULE_PARTIAL_PATH)) << other.lastError();
    EXPECT_EQ(other.registeredTypes(), (Types{"PartialWidget", "TestWidget"}));

    // "PartialWidget" is accepted, then "TestWidget" is refused as a duplicate and
    // the module gives up: the accepted half must not stay behind.
    EXPECT_FALSE(manager.loadPlugin(TEST_MODULE_PARTIAL_PATH));
    EXPECT_NE(manager.lastError().find("'TestWidget' is already registered"), std::string::npos)
        << manager.lastError();
    EXPECT_EQ(manager.registeredTypes(), (Types{"TestWidget", "ThrowingWidget"}));
    EXPECT_EQ(manager.createObject("PartialWidget"), nullptr);
    // Nor may the failed load unmap the module that `other` still uses.
    void* widget = other.createObject("PartialWidget");
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(other.destroyObject("PartialWidget", widget), 0);

    // Once the owner of "TestWidget" is gone, the same module loads.
    ASSERT_TRUE(manager.unloadPlugin(TEST_MODULE_GOOD_PATH));
    ASSERT_TRUE(manager.loadPlugin(TEST_MODULE_PARTIAL_PATH)) << manager.lastError();
    EXPECT_EQ(manager.registeredTypes(), (Types{"PartialWidget", "TestWidget"}));
}

}  // namespace
