#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "DownloaderProxy.h"
#include "IDownloaderObserver.h"
#include "KSPersistentState.h"
#include "RetryWait.h"
#include "messaging/ShutdownTimer.h"
#include "op_error_exception.h"
#include "bus/IMessageSink.h"
#include "plugin/IComponent.h"

class InstallProcess;
class KSFile;
class KSManifest;
class LocalMessage;
class Logger;
class ServiceOfferingEntity;
class UUId;

// The update component: keeps one installed application (a service offering) up to
// date. It answers "GetUpdateStatus", "PrepareForInstall" and "LaunchInstall" on
// "event://Client/Service/Kestrup" and "target://Client/Component/Kestrup", asks the
// backend for update manifests, has DownloaderProxy fetch the installer and
// InstallProcess start it, and keeps the workflow in KSPersistentState so that a
// restart of the host resumes or settles it.
//
// Threads and locks:
// - Requests arrive on the bus's delivery threads, download outcomes on the thread
//   that delivers the download service's answers to m_downloaderProxy.
// - m_mutex (not recursive) is the outer lock. The three request handlers hold it for
//   their whole run, including the wait of up to 30 seconds for the backend; the
//   installer answers take it for their reply, download outcomes for their decision
//   and writes. The inactivity timer's, the request helper's and the download
//   proxy's mutexes are inner locks. The wait before a download retry holds no lock;
//   the retry is decided again under the lock once the wait is over.
// - The host calls the lifecycle operations in the order initialize, start,
//   (messages), stop, uninitialize, then destroys the object. initialize works
//   before it subscribes to the topics, so it needs no lock; start settles the
//   stored offering under m_mutex, since requests may already arrive.
// - Errors of a request become "OperationError" replies; exceptions of other types
//   (for example boost::thread_interrupted while the bus shuts down) leave
//   handleMessage with m_mutex released.
//
// The IComponent part comes first, so a pointer to the object is also a pointer to
// its IComponent (the plug-in's create and destroy functions rely on that).
class Kestrup : public IComponent, public IMessageSink, public IDownloaderObserver {
public:
    // Builds the persisted state, the installer launcher, the download proxy and the
    // inactivity timer. Subscribes to nothing and reads no configuration.
    Kestrup();
    // Detaches the proxy's observer, unsubscribes everything and waits for a running
    // delivery of the proxy (a download retry wait included) before the members go.
    ~Kestrup() override;

    // IComponent
    void initialize() override;
    void uninitialize() override;
    void start() override;
    void stop() override;

    // IMessageSink: routes by message type; unknown types are dropped silently.
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    // IDownloaderObserver: the final outcome of a download (DownloadEventCode). The
    // two-argument form is taken as an outcome of the proxy's current session.
    void onDownloadEvent(int code, std::string text) override;
    void onSessionDownloadEvent(int code, const std::string& text, const UUId& sessionId) override;

    // Snapshots for the host's diagnostics and for tests.
    struct Settings {
        int32_t inactivityTimeout;
        int32_t downloadRetries;
        int32_t downloadRetryInterval;
        int32_t checkForUpdateInterval;
        int32_t installRetries;
    };
    Settings getSettings() const;
    // The cached workflow state; takes m_mutex, so it waits for a running request.
    KSPersistentState::KSState_t getWorkflowState();
    bool isInactivityCountdownRunning() const;
    // Whether a failed download waits for its retry; retryDownloadNow ends that wait
    // at once (or the next one, when none runs), as a host's "retry now" would.
    bool isWaitingToRetry() const { return m_retryWait.isWaiting(); }
    void retryDownloadNow() { m_retryWait.release(); }

private:
    Kestrup(const Kestrup&) = delete;
    Kestrup& operator=(const Kestrup&) = delete;

    // --- replies and helpers shared by the handlers (Kestrup.cpp) ---
    boost::shared_ptr<ServiceOfferingEntity> getServiceOfferingPayload(
        const boost::shared_ptr<LocalMessage>& message) const;
    boost::shared_ptr<LocalMessage> createMessage(const std::string& targetTopic,
                                                  const std::string& messageType, int32_t priority,
                                                  const std::string& replyTopic,
                                                  const UUId& sessionId) const;
    void sendStatusReply(int32_t code, const std::string& messageType,
                         const std::string& targetTopic, const UUId& sessionId) const;
    // Throws 798 "Discarding message due to invalid state..." unless the workflow
    // stands in `required`.
    void requireState(KSPersistentState::KSState_t required) const;
    void replyWithError(const op_error_exception& error,
                        const boost::shared_ptr<LocalMessage>& request) const;

    // --- comparison with the persisted service offering (Kestrup.cpp) ---
    bool isSameServiceOffering(const ServiceOfferingEntity& entity);
    void requireSameServiceOffering(const ServiceOfferingEntity& entity);
    void settlePersistedOffering();

    // --- update status and update check (KestrupUpdateCheck.cpp) ---
    void onGetUpdateStatus(const boost::shared_ptr<LocalMessage>& request);
    bool checkForUpdate(const boost::shared_ptr<LocalMessage>& request);
    void requestUpdateManifest(const ServiceOfferingEntity& entity,
                               const boost::shared_ptr<LocalMessage>& request, KSManifest& manifest);
    KSFile getKSFile(const KSManifest& manifest, const UUId& applicationId);
    void fillServiceOfferingFromRegistry(ServiceOfferingEntity& entity);
    uint32_t secondsSinceLastCheck();
    void recordCheckTime();

    // --- download (KestrupDownload.cpp) ---
    void onPrepareForInstall(const boost::shared_ptr<LocalMessage>& request);
    // Whether the workflow is Downloading the download of `sessionId`; m_mutex held.
    bool isCurrentDownload(const UUId& sessionId);
    void handleDownloadSuccess(const std::string& path, const UUId& sessionId);
    void handleDownloadFailure(int code, const UUId& sessionId);
    void resumePersistedDownload();
    void abortWorkflow(const boost::shared_ptr<LocalMessage>& request);
    void requireRegisteredServiceOffering(const ServiceOfferingEntity& entity);

    // --- install (KestrupInstall.cpp) ---
    void onLaunchInstall(const boost::shared_ptr<LocalMessage>& request);
    void launchInstaller(const std::string& fileName, const std::string& arguments);
    void onExecutionStarted(const boost::shared_ptr<LocalMessage>& message);
    void onExecutionFinished(const boost::shared_ptr<LocalMessage>& message);
    void onExecutionError(const boost::shared_ptr<LocalMessage>& message);

    Logger* m_logger;  // the host's default logger; not owned
    // Owned. Not thread-safe itself: used under m_mutex (initialize uses it before
    // the topics are subscribed).
    std::unique_ptr<KSPersistentState> m_persistentState;
    boost::mutex m_mutex;
    // The four settings: written by the constructor and initialize, read by handlers.
    int32_t m_downloadRetries;
    int32_t m_downloadRetryInterval;   // seconds
    int32_t m_checkForUpdateInterval;  // seconds
    int32_t m_installRetries;
    std::unique_ptr<InstallProcess> m_installProcess;  // owned; a sink of its own
    DownloaderProxy m_downloaderProxy;  // see DownloaderProxy for its threading
    bool m_resumeDownloadPending;       // guarded by m_mutex (written by initialize too)
    ShutdownTimer m_shutdownTimer;      // guards itself (inner lock)
    std::string m_installReplyTopic;    // guarded by m_mutex
    RetryWait m_retryWait;              // guards itself; cancelled by the destructor
};
