// A plug-in module for the plug-in manager tests, in variants chosen by a compile
// definition; it logs every call through the host's default logger:
//   TEST_MODULE_GOOD             registers "TestWidget" and "ThrowingWidget", then "TestWidget" again
//   TEST_MODULE_NOINIT           exports no PF_initPlugin
//   TEST_MODULE_REFUSED          registers without a create function, gets refused, returns null
//   TEST_MODULE_PARTIAL          registers "PartialWidget" then "TestWidget"; null if either is refused
//   TEST_MODULE_IGNORES_REFUSAL  registers an unsupported version, returns its exit function anyway
#include <stdexcept>
#include <string>

#include "Export.h"
#include "host/LogLine.h"
#include "plugin/PluginABI.h"

namespace {

// Static slots: a widget still alive at unload is no leak.
bool g_inUse[4];

void say(const std::string& what) {
    KS_LOG(Logger::getDefaultInstance(), std::string("TESTMODULE ") + TEST_MODULE_NAME + ": " + what);
}

[[maybe_unused]] void* createWidget(void* /*objectParams*/) {
    for (bool& slot : g_inUse) {
        if (!slot) {
            slot = true;
            say("create");
            return &slot;
        }
    }
    return nullptr;
}

[[maybe_unused]] int32_t destroyWidget(void* object) {
    for (bool& slot : g_inUse) {
        if (object == &slot && slot) {
            slot = false;
            say("destroy");
            return 0;
        }
    }
    say("destroy of a foreign object");
    return -1;
}

[[maybe_unused]] [[noreturn]] void* createThrowing(void* /*objectParams*/) {
    throw std::runtime_error("widget construction failed");
}

int32_t exitModule() {
    say("exit");
    return 0;
}

[[maybe_unused]] PF_RegistrationRecord widgetRecord(PF_CreateFunc create) {
    return PF_RegistrationRecord{1, 0, create, &destroyWidget, 1};
}

}  // namespace

#if !defined(TEST_MODULE_NOINIT)
extern "C" KESTRUP_PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const PF_HostServices* services) {
    say("init");
#if defined(TEST_MODULE_GOOD)
    const PF_RegistrationRecord widget = widgetRecord(&createWidget);
    const PF_RegistrationRecord throwing = widgetRecord(&createThrowing);
    if (services->registerObject("TestWidget", &widget) < 0 ||
        services->registerObject("ThrowingWidget", &throwing) < 0) {
        return nullptr;
    }
    const bool twiceTaken = services->registerObject("TestWidget", &throwing) >= 0;
    say(twiceTaken ? "second TestWidget taken" : "second TestWidget refused");
    return &exitModule;
#elif defined(TEST_MODULE_REFUSED)
    const PF_RegistrationRecord broken = widgetRecord(nullptr);
    return services->registerObject("BrokenWidget", &broken) < 0 ? nullptr : &exitModule;
#elif defined(TEST_MODULE_PARTIAL)
    const PF_RegistrationRecord widget = widgetRecord(&createWidget);
    const int32_t first = services->registerObject("PartialWidget", &widget);
    const int32_t second = services->registerObject("TestWidget", &widget);
    return (first < 0 || second < 0) ? nullptr : &exitModule;
#elif defined(TEST_MODULE_IGNORES_REFUSAL)
    PF_RegistrationRecord future = widgetRecord(&createWidget);
    future.versionMajor = 2;
    services->registerObject("FutureWidget", &future);
    return &exitModule;
#endif
}
#else
extern "C" KESTRUP_PLUGIN_EXPORT int32_t PF_somethingElse() {
    return exitModule();
}
#endif
