#pragma once

// Access to a host service that lives once per process.
//
// instance() gives the installed object, or null when the host installed none.
// install() replaces it (not owned; null means "none"). The specialisations are
// defined in the host library, so the host, the plug-in module and the tests all
// see the same instance.
template <class T>
class Singleton {
public:
    static T* instance();
    static void install(T* instance);
};
