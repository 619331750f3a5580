#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Export.h"

// The host's plug-in framework: loads modules by path, keeps the object types they
// register, creates and destroys objects by type name, and calls each module's exit
// function when it is unloaded. Thread-safe.
class KESTRUP_HOST_API PluginManager {
public:
    PluginManager();
    ~PluginManager();  // destroys no objects; unloads every module (exit function first)
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    // Loads the module at `path` and calls its PF_initPlugin. Returns false, with a
    // clear reason in lastError() (and a log line), when the file cannot be loaded,
    // lacks PF_initPlugin, or returns no exit function (registration refused); such
    // a module is unloaded and none of its types is kept.
    bool loadPlugin(const std::string& path);
    // Calls the exit function of the module at `path` and unloads it. Its types are
    // forgotten. Objects still alive must have been destroyed before.
    bool unloadPlugin(const std::string& path);
    void unloadAll();

    // Creates an object of a registered type; null (with lastError) when the type is
    // unknown. Exceptions of the module's create function pass on to the caller.
    void* createObject(const std::string& objectType);
    // Destroys an object created by createObject. Returns the module's result
    // (0 on success), or -1 for an object this manager did not create.
    int destroyObject(const std::string& objectType, void* object);

    std::vector<std::string> registeredTypes() const;
    std::string lastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
