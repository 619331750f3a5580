#pragma once
#include <cstddef>
#include <cstdint>

// The binary interface between the host's plug-in framework and a plug-in module.
// Plain C layout: the host and the module may be built by different compilers.
extern "C" {

typedef void* (*PF_CreateFunc)(void* objectParams);
typedef int32_t (*PF_DestroyFunc)(void* object);
typedef int32_t (*PF_ExitFunc)();

struct PF_RegistrationRecord {
    int32_t versionMajor;
    int32_t versionMinor;
    PF_CreateFunc createFunc;
    PF_DestroyFunc destroyFunc;
    int32_t programmingLanguage;
};

// Returns a negative value when the registration is refused.
typedef int32_t (*PF_RegisterFunc)(const char* objectType, const PF_RegistrationRecord* record);

struct PF_HostServices {
    int32_t apiVersionMajor;
    int32_t apiVersionMinor;
    PF_RegisterFunc registerObject;
    void* hostContext;  // the framework's own pointer, for its register function
};

// The one entry a module exports by name. Returns the exit function, or null when
// the plug-in did not initialise.
typedef PF_ExitFunc (*PF_InitFunc)(const PF_HostServices* services);

}  // extern "C"

static_assert(offsetof(PF_RegistrationRecord, versionMajor) == 0, "record layout");
static_assert(offsetof(PF_RegistrationRecord, versionMinor) == 4, "record layout");
static_assert(offsetof(PF_RegistrationRecord, createFunc) == 8, "record layout");
static_assert(offsetof(PF_RegistrationRecord, destroyFunc) == 16, "record layout");
static_assert(offsetof(PF_RegistrationRecord, programmingLanguage) == 24, "record layout");
static_assert(offsetof(PF_HostServices, registerObject) == 8, "host services layout");

#define PF_INIT_PLUGIN_SYMBOL "PF_initPlugin"
