#include "plugin/PluginManager.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include <QLibrary>
#include <QString>

#include "host/LogLine.h"
#include "plugin/PluginABI.h"

namespace {

// The record layout this host understands; a module built for another major
// version is not used.
constexpr int32_t kHostAbiMajor = 1;
constexpr int32_t kHostAbiMinor = 0;

// What one PF_initPlugin call registered. Registrations are collected here and
// kept only when the call succeeds, so a module that fails half-way leaves nothing.
struct PendingLoad {
    const std::map<std::string, PF_RegistrationRecord>* knownTypes = nullptr;
    std::map<std::string, PF_RegistrationRecord> registered;
    std::string refusal;  // why the last refused registration was refused
};

// registerObject carries no context of its own, so the loading thread names the
// load in progress. A registration from any other thread, or outside a load, is refused.
thread_local PendingLoad* t_pendingLoad = nullptr;

int32_t registerObject(const char* objectType, const PF_RegistrationRecord* record) {
    PendingLoad* load = t_pendingLoad;
    if (load == nullptr) {
        return -1;
    }
    if (objectType == nullptr || *objectType == '\0') {
        load->refusal = "registration without a type name";
        return -1;
    }
    const std::string type(objectType);
    if (record == nullptr || record->createFunc == nullptr || record->destroyFunc == nullptr) {
        load->refusal = "type '" + type + "' registered without create and destroy functions";
        return -1;
    }
    if (record->versionMajor != kHostAbiMajor) {
        load->refusal = "type '" + type + "' uses interface version " + std::to_string(record->versionMajor) +
                        ", the host supports " + std::to_string(kHostAbiMajor);
        return -1;
    }
    if (load->knownTypes->count(type) != 0 || load->registered.count(type) != 0) {
        load->refusal = "type '" + type + "' is already registered";
        return -1;
    }
    load->registered.emplace(type, *record);
    return 0;
}

std::string modulePathKey(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::u8path(path), error);
    return error ? path : absolute.lexically_normal().u8string();
}

void logLine(const std::string& message) {
    KS_LOG(Logger::getDefaultInstance(), "PluginManager: " + message);
}

// QLibrary unmaps a file as soon as any one of its QLibrary objects calls unload(),
// even while other objects (other managers) still use it. So the loads of each file
// are counted here, and only the last user's release unloads it.
struct LoadCounts {
    std::mutex mutex;
    std::map<std::string, int> byModule;  // by module path key; guarded by mutex
};

// Never destroyed: a manager that lives in static storage may unload at exit.
LoadCounts& loadCounts() {
    static LoadCounts* const counts = new LoadCounts;
    return *counts;
}

bool loadCounted(QLibrary& library, const std::string& key) {
    LoadCounts& counts = loadCounts();
    std::lock_guard<std::mutex> lock(counts.mutex);
    if (!library.load()) {
        return false;
    }
    ++counts.byModule[key];
    return true;
}

// False when the file stays mapped for another user.
bool releaseCounted(QLibrary& library, const std::string& key) {
    LoadCounts& counts = loadCounts();
    std::lock_guard<std::mutex> lock(counts.mutex);
    auto it = counts.byModule.find(key);
    if (it != counts.byModule.end() && --it->second > 0) {
        return false;
    }
    counts.byModule.erase(key);
    return library.unload();
}

}  // namespace

struct PluginManager::Impl {
    struct Module {
        std::unique_ptr<QLibrary> library;
        PF_ExitFunc exitFunc = nullptr;
        std::vector<std::string> types;
    };
    struct LiveObject {
        std::string type;
        std::string modulePath;
    };

    // Calls the exit function and unloads the library. Called with `mutex` held.
    void closeModule(const std::string& path, Module& module) {
        for (const std::string& type : module.types) {
            types.erase(type);
        }
        size_t orphans = 0;
        for (auto it = liveObjects.begin(); it != liveObjects.end();) {
            if (it->second.modulePath == path) {
                it = liveObjects.erase(it);
                ++orphans;
            } else {
                ++it;
            }
        }
        if (orphans != 0) {
            // Their destroy function goes away with the module; they can no longer be destroyed.
            logLine(std::to_string(orphans) + " object(s) of " + path + " still alive at unload");
        }
        if (module.exitFunc != nullptr) {
            module.exitFunc();
        }
        if (!releaseCounted(*module.library, path)) {
            logLine(path + " stays loaded: it is still in use by another loader");
        }
    }

    void fail(const std::string& error) {
        lastError = error;
        logLine(error);
    }

    mutable std::mutex mutex;
    PF_HostServices services{kHostAbiMajor, kHostAbiMinor, &registerObject, nullptr};
    std::map<std::string, Module> modules;                // by absolute path; guarded by mutex
    std::map<std::string, PF_RegistrationRecord> types;   // guarded by mutex
    std::map<std::string, std::string> typeModules;       // type -> module path; guarded by mutex
    std::map<void*, LiveObject> liveObjects;              // guarded by mutex
    std::string lastError;                                // guarded by mutex
};

PluginManager::PluginManager() : m_impl(std::make_unique<Impl>()) {}

PluginManager::~PluginManager() {
    unloadAll();
}

bool PluginManager::loadPlugin(const std::string& path) {
    const std::string key = modulePathKey(path);
    // The lock is held through PF_initPlugin: registerObject reads `types` on this
    // thread, and two loads must not register the same type at once.
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->modules.count(key) != 0) {
        m_impl->fail("plug-in module " + key + " is already loaded");
        return false;
    }

    auto library = std::make_unique<QLibrary>(QString::fromStdString(key));
    // Resolve every symbol now: a module with a missing dependency fails here with
    // a clear error instead of at its first call.
    library->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!loadCounted(*library, key)) {
        m_impl->fail("cannot load plug-in module " + key + ": " + library->errorString().toStdString());
        return false;
    }
    auto init = reinterpret_cast<PF_InitFunc>(library->resolve(PF_INIT_PLUGIN_SYMBOL));
    if (init == nullptr) {
        releaseCounted(*library, key);
        m_impl->fail("plug-in module " + key + " does not export " PF_INIT_PLUGIN_SYMBOL);
        return false;
    }

    PendingLoad pending;
    pending.knownTypes = &m_impl->types;
    PendingLoad* const outer = t_pendingLoad;
    t_pendingLoad = &pending;
    PF_ExitFunc exitFunc = nullptr;
    try {
        exitFunc = init(&m_impl->services);
    } catch (...) {
        t_pendingLoad = outer;
        releaseCounted(*library, key);
        m_impl->fail("plug-in module " + key + ": " PF_INIT_PLUGIN_SYMBOL " threw an exception");
        return false;
    }
    t_pendingLoad = outer;

    if (exitFunc == nullptr || pending.registered.empty()) {
        std::string reason = exitFunc == nullptr ? "did not initialise" : "registered no object type";
        if (!pending.refusal.empty()) {
            reason += " (" + pending.refusal + ")";
        }
        if (exitFunc != nullptr) {
            exitFunc();  // it did initialise, so it gets to clean up before it goes
        }
        releaseCounted(*library, key);
        m_impl->fail("plug-in module " + key + " " + reason);
        return false;
    }

    Impl::Module module;
    module.library = std::move(library);
    module.exitFunc = exitFunc;
    for (const auto& entry : pending.registered) {
        module.types.push_back(entry.first);
        m_impl->types.emplace(entry.first, entry.second);
        m_impl->typeModules[entry.first] = key;
    }
    m_impl->modules.emplace(key, std::move(module));
    return true;
}

bool PluginManager::unloadPlugin(const std::string& path) {
    const std::string key = modulePathKey(path);
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    auto it = m_impl->modules.find(key);
    if (it == m_impl->modules.end()) {
        m_impl->lastError = "plug-in module " + key + " is not loaded";
        return false;
    }
    for (const std::string& type : it->second.types) {
        m_impl->typeModules.erase(type);
    }
    m_impl->closeModule(key, it->second);
    m_impl->modules.erase(it);
    return true;
}

void PluginManager::unloadAll() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    for (auto& entry : m_impl->modules) {
        m_impl->closeModule(entry.first, entry.second);
    }
    m_impl->modules.clear();
    m_impl->typeModules.clear();
}

void* PluginManager::createObject(const std::string& objectType) {
    PF_CreateFunc create = nullptr;
    std::string modulePath;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        auto it = m_impl->types.find(objectType);
        if (it == m_impl->types.end()) {
            m_impl->lastError = "object type '" + objectType + "' is not registered";
            return nullptr;
        }
        create = it->second.createFunc;
        modulePath = m_impl->typeModules[objectType];
    }
    // The module's code runs without the lock, so it may use the manager itself.
    void* object = create(nullptr);
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (object == nullptr) {
        m_impl->fail("create function of object type '" + objectType + "' returned null");
        return nullptr;
    }
    m_impl->liveObjects[object] = Impl::LiveObject{objectType, modulePath};
    return object;
}

int PluginManager::destroyObject(const std::string& objectType, void* object) {
    PF_DestroyFunc destroy = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        auto live = m_impl->liveObjects.find(object);
        if (object == nullptr || live == m_impl->liveObjects.end() || live->second.type != objectType) {
            m_impl->lastError = "no live object of type '" + objectType + "' at that address";
            return -1;
        }
        auto type = m_impl->types.find(objectType);
        if (type == m_impl->types.end()) {
            m_impl->lastError = "object type '" + objectType + "' is not registered";
            return -1;
        }
        destroy = type->second.destroyFunc;
        // Forgotten before the call, so a second destroy of the same object is refused.
        m_impl->liveObjects.erase(live);
    }
    return destroy(object);
}

std::vector<std::string> PluginManager::registeredTypes() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<std::string> names;
    for (const auto& entry : m_impl->types) {
        names.push_back(entry.first);
    }
    return names;
}

std::string PluginManager::lastError() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->lastError;
}
