#pragma once
// Everything the component needs from its host, set up and torn down in order:
// logger, configuration store, registry, store folder, bus, timed posts, download
// service, backend client, the plug-in module and the "Kestrup" component.
// The download service and the backend client answer their topics from the start;
// the transfer module behind them is loaded on their first request.
//
// Use: openHost, then (for the commands that talk to the component) startBus,
// startServices, loadComponent, startComponent. shutDown undoes what was done, in
// this order: stop, uninitialize, destroy the component, unload the module, stop
// the services, shut the bus down, stop the timed posts. A component delivery that
// still blocks after a short grace (a download retry wait, the wait for the
// backend) is ended by shutting the bus down early, which interrupts it, so
// shutdown never waits for such a wait to run out.
//
// Threads: every operation is called from one thread (the program's main thread),
// never from a bus delivery. Each step returns false with a message when it fails;
// the steps already done are undone by shutDown or the destructor.
#include <memory>
#include <string>
#include <vector>

#include "HostSettings.h"

class DefaultLogger;
class IComponent;
class IniConfigurationManager;
class Logger;
class MessageDispatcher;
class MessageTriggerer;
class PluginManager;
class ServiceOfferingManager;
class ThreadPoolDispatcher;

namespace kestrup_services {
class DownloadBusService;
}

namespace kestrup_host {

class DataFolderLock;
class DeferredService;

class HostContext {
public:
    HostContext(const HostSettings& settings, bool verbose);
    // shutDown(), then uninstalls the logger, configuration, registry, timed posts
    // and bus that the context installed for the process.
    ~HostContext();
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    // Logger (the log file; stderr too when verbose), configuration store, data and
    // store folder, registry.
    bool openHost(std::string& error);
    // Makes this host the only one that runs a component on the data folder (its
    // workflow store and downloads); the lock goes with the context. A lock left
    // by a host that died is taken over.
    bool lockDataFolder(std::string& error);
    // The bus (installed as MessageDispatcher::getInstance()) and the timed posts.
    void startBus();
    // The download service and the backend client: their topics, with the
    // transfer module found (it is loaded later, on their first request).
    bool startServices(std::string& error);
    // Loads the module, creates "Kestrup" and calls initialize.
    bool loadComponent(const std::string& pluginPath, std::string& error);
    // Calls start: the component settles the update left by the last run.
    void startComponent();
    // Idempotent.
    void shutDown();

    const HostSettings& settings() const { return m_settings; }
    Logger* logger() const;
    ServiceOfferingManager& registry() const { return *m_registry; }  // after openHost
    MessageDispatcher* bus() const;                                     // after startBus

private:
    void destroyComponent();
    // Partial files and records of downloads that the saved workflow no longer refers to.
    void removeDownloadLeftovers();
    // Whether a record or partial file that removeDownloadLeftovers looks at exists,
    // so that a host with nothing to clean up does not load the transfer module.
    bool mayHaveDownloadLeftovers() const;
    std::vector<std::string> componentDownloadFolders() const;

    const HostSettings m_settings;
    const bool m_verbose;
    // Owned; created by the steps above and released by the destructor in reverse.
    std::unique_ptr<DefaultLogger> m_logger;
    std::unique_ptr<DataFolderLock> m_dataFolderLock;
    std::unique_ptr<IniConfigurationManager> m_configuration;
    std::unique_ptr<ServiceOfferingManager> m_registry;
    std::unique_ptr<ThreadPoolDispatcher> m_bus;
    std::unique_ptr<MessageTriggerer> m_triggerer;
    std::unique_ptr<DeferredService> m_downloads;
    std::unique_ptr<DeferredService> m_backend;
    kestrup_services::DownloadBusService* m_downloadService = nullptr;  // created by m_downloads
    std::unique_ptr<PluginManager> m_plugins;
    std::string m_pluginPath;            // the loaded module; empty when none
    IComponent* m_component = nullptr;   // created by m_plugins; destroyed by shutDown
    bool m_componentStarted = false;
    bool m_componentInitialized = false;
};

}  // namespace kestrup_host
