#include "HostContext.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "BackendClient.h"
#include "DataFolderLock.h"
#include "DeferredService.h"
#include "DownloadService.h"
#include "TransferStack.h"
#include "WorkflowSnapshot.h"
#include "bus/MessageDispatcher.h"
#include "bus/MessageTriggerer.h"
#include "bus/ThreadPoolDispatcher.h"
#include "host/ConfigurationManager.h"
#include "host/CorvanePath.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "host/ServiceOfferingManager.h"
#include "persistence/PersistentManager.h"
#include "plugin/IComponent.h"
#include "plugin/PluginManager.h"

namespace kestrup_host {
namespace {

const char* const kObjectType = "Kestrup";
// How long a shutdown step may wait for a running component delivery before the
// bus is shut down to interrupt it.
const std::chrono::milliseconds kDeliveryGrace(1000);
// The workflow state whose download a restart resumes (WorkflowSnapshot::state).
const int32_t kWorkflowDownloading = 3;
// Where the component puts its downloads, below the per-user data folder.
const char* const kComponentDownloadFolder = "Corvane/Brenmark";
// Below the data folder: the download service's default folder and its records.
const char* const kDefaultDownloadFolder = "/downloads";
const char* const kDownloadRecordFolder = "/download-sessions";

// Whether `folder` holds an entry that `matches`; an unreadable folder counts as
// holding one (the service then looks, and logs what fails).
template <class Match>
bool folderHolds(const std::string& folder, Match matches) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator entries(fs::u8path(folder), error);
    if (error) return error != std::errc::no_such_file_or_directory;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        if (error) return true;
        if (matches(entries->path().filename().u8string())) return true;
    }
    return false;
}

// Creates `path` (and its parents); a folder created here is owner-only.
bool makeFolder(const std::string& path) {
    const QString folder = QString::fromStdString(path);
    if (QFileInfo(folder).isDir()) return true;
    if (!QDir().mkpath(folder)) return false;
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

// Shuts the bus down when the shutdown steps of the component have not ended within
// the grace: a delivery blocked in an interruptible wait then ends at once, and the
// unsubscribe that waits for it returns. Joined by its destructor.
class DeliveryWatchdog {
public:
    DeliveryWatchdog(ThreadPoolDispatcher& bus, Logger* logger) : m_bus(bus), m_logger(logger) {
        m_thread = std::thread([this] { watch(); });
    }
    ~DeliveryWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    DeliveryWatchdog(const DeliveryWatchdog&) = delete;
    DeliveryWatchdog& operator=(const DeliveryWatchdog&) = delete;

private:
    void watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_wake.wait_for(lock, kDeliveryGrace, [this] { return m_done; })) return;
        lock.unlock();
        KS_LOG(m_logger, "KESTRUP_HOST: The component is still busy in a delivery (a download retry wait or "
                         "the wait for the backend); shutting the bus down to end it.");
        m_bus.shutdown();
    }

    ThreadPoolDispatcher& m_bus;
    Logger* m_logger;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;  // guarded by m_mutex
    std::thread m_thread;
};

// Sets an environment variable for one scope and restores the earlier value.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const std::string& value) : m_name(name) {
        const char* previous = std::getenv(name);
        m_hadValue = previous != nullptr;
        if (m_hadValue) m_previous = previous;
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnvironmentVariable() {
        if (m_hadValue) {
            qputenv(m_name, QByteArray::fromStdString(m_previous));
        } else {
            qunsetenv(m_name);
        }
    }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    const char* m_name;
    bool m_hadValue = false;
    std::string m_previous;
};

}  // namespace

HostContext::HostContext(const HostSettings& settings, bool verbose) : m_settings(settings), m_verbose(verbose) {}

HostContext::~HostContext() {
    shutDown();
    m_plugins.reset();
    m_backend.reset();
    m_downloads.reset();
    if (m_triggerer) {
        Singleton<MessageTriggerer>::install(nullptr);
        m_triggerer.reset();
    }
    if (m_bus) {
        MessageDispatcher::setInstance(nullptr);
        m_bus.reset();
    }
    if (m_registry) {
        Singleton<ServiceOfferingManager>::install(nullptr);
        m_registry.reset();
        PersistentManager::setStoreFolder(std::string());
    }
    if (m_configuration) {
        ConfigurationManager::setDefaultInstance(nullptr);
        m_configuration.reset();
    }
    m_dataFolderLock.reset();
    if (m_logger) {
        Logger::setDefaultInstance(nullptr);
        m_logger.reset();
    }
}

Logger* HostContext::logger() const {
    return m_logger ? static_cast<Logger*>(m_logger.get()) : Logger::getDefaultInstance();
}

MessageDispatcher* HostContext::bus() const {
    return m_bus.get();
}

bool HostContext::openHost(std::string& error) {
    m_logger = std::make_unique<DefaultLogger>();
    m_logger->setStderrEnabled(m_verbose);
    Logger::setDefaultInstance(m_logger.get());

    if (!makeFolder(m_settings.dataFolder)) {
        error = "cannot create the data folder " + m_settings.dataFolder;
        return false;
    }
    const std::string logFolder = QFileInfo(QString::fromStdString(m_settings.logFile)).absolutePath().toStdString();
    if (!makeFolder(logFolder) || !m_logger->setLogFile(m_settings.logFile)) {
        error = "cannot open the log file " + m_settings.logFile;
        return false;
    }
    KS_LOG(m_logger.get(), "KESTRUP_HOST: Starting with configuration " + m_settings.configFile);

    m_configuration = std::make_unique<IniConfigurationManager>(m_settings.configFile);
    if (!m_configuration->isReadable()) {
        error = m_configuration->errorText();
        return false;
    }
    ConfigurationManager::setDefaultInstance(m_configuration.get());

    // The component's workflow store lives in the data folder.
    PersistentManager::setStoreFolder(m_settings.dataFolder);

    m_registry = std::make_unique<ServiceOfferingManager>(m_settings.registryFile);
    Singleton<ServiceOfferingManager>::install(m_registry.get());
    return true;
}

bool HostContext::lockDataFolder(std::string& error) {
    const std::string path = m_settings.dataFolder + "/kestrup-host.lock";
    m_dataFolderLock = std::make_unique<DataFolderLock>();
    int64_t holder = 0;
    const DataFolderLock::Result result = m_dataFolderLock->acquire(path, holder);
    if (result == DataFolderLock::Acquired) return true;
    if (result == DataFolderLock::HeldByAnother) {
        error = "another kestrup-host (process " + std::to_string(holder) + ") is using the data folder " +
                m_settings.dataFolder;
    } else {
        error = "cannot create the lock file " + path;
    }
    m_dataFolderLock.reset();
    return false;
}

void HostContext::startBus() {
    m_bus = std::make_unique<ThreadPoolDispatcher>();
    MessageDispatcher::setInstance(m_bus.get());
    m_triggerer = std::make_unique<MessageTriggerer>(m_bus.get());
    Singleton<MessageTriggerer>::install(m_triggerer.get());
}

bool HostContext::startServices(std::string& error) {
    DownloadServiceOptions downloadOptions = m_settings.download;
    downloadOptions.defaultDestinationFolder = m_settings.dataFolder + kDefaultDownloadFolder;
    downloadOptions.stateFolder = m_settings.dataFolder + kDownloadRecordFolder;
    if (!transferModulePresent(error)) return false;
    Logger* const logger = m_logger.get();
    m_downloads = std::make_unique<DeferredService>(
        DownloadService::Topic, m_bus.get(), logger,
        [this, downloadOptions, logger](MessageDispatcher* bus, std::string& why) {
            std::unique_ptr<kestrup_services::DownloadBusService> service;
            if (kestrup_services::TransferModule* module = transferModule(why)) {
                service = module->createDownloadService(downloadOptions, bus, logger);
                m_downloadService = service.get();
            }
            return std::unique_ptr<kestrup_services::BusService>(std::move(service));
        });
    if (!m_downloads->start()) {
        error = "the download service could not subscribe to the bus";
        return false;
    }
    removeDownloadLeftovers();
    const BackendClientOptions backendOptions = m_settings.backend;
    m_backend = std::make_unique<DeferredService>(
        BackendClient::Topic, m_bus.get(), logger,
        [backendOptions, logger](MessageDispatcher* bus, std::string& why) {
            kestrup_services::TransferModule* module = transferModule(why);
            return module ? module->createBackendClient(backendOptions, bus, logger)
                          : std::unique_ptr<kestrup_services::BusService>();
        });
    if (!m_backend->start()) {
        error = "the backend client could not subscribe to the bus";
        return false;
    }
    return true;
}

bool HostContext::loadComponent(const std::string& pluginPath, std::string& error) {
    m_plugins = std::make_unique<PluginManager>();
    if (!m_plugins->loadPlugin(pluginPath)) {
        error = m_plugins->lastError();
        return false;
    }
    m_pluginPath = pluginPath;
    try {
        m_component = static_cast<IComponent*>(m_plugins->createObject(kObjectType));
    } catch (const std::exception& e) {
        error = std::string("creating the component failed: ") + e.what();
        return false;
    }
    if (m_component == nullptr) {
        error = "the module " + pluginPath + " offers no \"Kestrup\" component: " + m_plugins->lastError();
        return false;
    }
    try {
        // The component takes its download folder from the per-user data folder
        // (XDG_DATA_HOME, LOCALAPPDATA on Windows) while it initializes; point that at our data folder for
        // this call only, so installers started later see the user's own value.
        // Nothing else reads the environment meanwhile: the other threads are the
        // idle workers of the bus and the services.
        ScopedEnvironmentVariable dataHome(userDataEnvironmentVariable(), m_settings.dataFolder);
        m_component->initialize();
        m_componentInitialized = true;
    } catch (const std::exception& e) {
        error = std::string("initializing the component failed: ") + e.what();
        return false;
    }
    return true;
}

void HostContext::startComponent() {
    m_component->start();
    m_componentStarted = true;
    KS_LOG(logger(), "KESTRUP_HOST: Component started (module " + m_pluginPath + ")");
}

void HostContext::destroyComponent() {
    if (m_component == nullptr) return;
    std::unique_ptr<DeliveryWatchdog> watchdog;
    if (m_bus) watchdog = std::make_unique<DeliveryWatchdog>(*m_bus, logger());
    try {
        if (m_componentStarted) m_component->stop();
        if (m_componentInitialized) m_component->uninitialize();
    } catch (const std::exception& e) {
        KS_LOG(logger(), std::string("KESTRUP_HOST: Stopping the component failed: ") + e.what());
    }
    const int result = m_plugins->destroyObject(kObjectType, m_component);
    if (result != 0) KS_LOG(logger(), "KESTRUP_HOST: Destroying the component returned " + std::to_string(result));
    m_component = nullptr;
    m_componentStarted = false;
    m_componentInitialized = false;
}

void HostContext::removeDownloadLeftovers() {
    if (!m_downloads->created() && !mayHaveDownloadLeftovers()) return;
    WorkflowSnapshot snapshot;
    std::string error;
    if (!readWorkflowSnapshot(m_settings.dataFolder, m_settings.domainId, snapshot, error)) {
        KS_LOG(logger(), "KESTRUP_HOST: Download leftovers are kept: the workflow cannot be read: " + error);
        return;
    }
    // Only a download the workflow is still in can be resumed; every other is given up.
    std::set<std::string> live;
    if (snapshot.state == kWorkflowDownloading && !snapshot.sessionId.empty()) live.insert(snapshot.sessionId);
    if (m_downloads->service() == nullptr) return;  // logged
    m_downloadService->removeLeftovers(live, componentDownloadFolders());
}

std::vector<std::string> HostContext::componentDownloadFolders() const {
    // The component downloads into the per-user folder under the data folder.
    return {m_settings.dataFolder + "/" + kComponentDownloadFolder};
}

bool HostContext::mayHaveDownloadLeftovers() const {
    const auto anyEntry = [](const std::string&) { return true; };
    const auto partialFile = [](const std::string& name) {
        const std::string suffix = ".part";
        return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (folderHolds(m_settings.dataFolder + kDownloadRecordFolder, anyEntry)) return true;
    std::vector<std::string> folders = componentDownloadFolders();
    folders.push_back(m_settings.dataFolder + kDefaultDownloadFolder);
    for (const std::string& folder : folders) {
        if (folderHolds(folder, partialFile)) return true;
    }
    return false;
}

void HostContext::shutDown() {
    destroyComponent();
    if (!m_pluginPath.empty()) {
        m_plugins->unloadPlugin(m_pluginPath);
        m_pluginPath.clear();
    }
    if (m_backend) m_backend->stop();
    if (m_downloads && m_downloads->isRunning()) {
        m_downloads->stop();
        removeDownloadLeftovers();
    }
    if (m_bus && !m_bus->isShutDown()) {
        if (!m_bus->shutdown()) KS_LOG(logger(), "KESTRUP_HOST: A bus delivery did not end in time.");
    }
    if (m_triggerer) m_triggerer->shutdown();
}

}  // namespace kestrup_host
