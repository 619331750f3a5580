// The module's entry: registers the object type "Kestrup" with the host framework.
#include "Export.h"
#include "Kestrup.h"
#include "plugin/PluginABI.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Keeps the module mapped until the process ends, whatever the host unloads: a
// bus thread still finishing a delivery, or the launcher's table of child
// processes, must never find its code or data gone.
void pinModule() {
#ifdef _WIN32
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&pinModule), &self);
#endif
}

int32_t exitPlugin() {
    return 0;
}

// The creation parameters are accepted and not read. Exceptions of the constructor
// pass on to the host.
void* createComponent(void* /*objectParams*/) {
    Kestrup* component = new Kestrup();
    return static_cast<IComponent*>(component);  // the IComponent part lies first
}

int32_t destroyComponent(void* object) {
    if (object == nullptr) return -1;
    delete static_cast<IComponent*>(object);
    return 0;
}

}  // namespace

extern "C" KESTRUP_PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const PF_HostServices* services) {
    if (services == nullptr || services->registerObject == nullptr) return nullptr;

    PF_RegistrationRecord record;
    record.versionMajor = 1;
    record.versionMinor = 0;
    record.createFunc = &createComponent;
    record.destroyFunc = &destroyComponent;
    record.programmingLanguage = 1;

    if (services->registerObject("Kestrup", &record) < 0) return nullptr;
    pinModule();
    return &exitPlugin;
}
