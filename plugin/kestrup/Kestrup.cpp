// Construction, lifecycle, routing, replies and the comparison with the persisted
// service offering. The handlers live in KestrupUpdateCheck.cpp,
// KestrupDownload.cpp and KestrupInstall.cpp.
#include "Kestrup.h"

#include <list>

#include <boost/lexical_cast.hpp>
#include <boost/pointer_cast.hpp>

#include "InstallProcess.h"
#include "IntegerSetting.h"
#include "KestrupTopics.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/KestrupUtility.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"
#include "util/common/UserDataFolder.h"

Kestrup::Kestrup()
    : IComponent(),
      IMessageSink(),
      IDownloaderObserver(),
      m_logger(Logger::getDefaultInstance()),
      m_persistentState(new KSPersistentState()),
      m_mutex(),
      m_downloadRetries(3),
      m_downloadRetryInterval(600),
      m_checkForUpdateInterval(0),
      m_installRetries(3),
      m_installProcess(new InstallProcess()),
      m_downloaderProxy(),
      m_resumeDownloadPending(false),
      m_shutdownTimer(-1),
      m_installReplyTopic() {
    m_downloaderProxy.setObserver(this);
}

Kestrup::~Kestrup() {
    m_downloaderProxy.setObserver(nullptr);
    uninitialize();
    // A retry wait must not hold the host's shutdown for the whole interval.
    m_retryWait.cancel();
    // A download outcome may still run on the proxy's delivery thread (a retry wait
    // sleeps there and then uses the store, the proxy and the timer). Unsubscribing
    // waits for that delivery, so no member is destroyed under it.
    MessageDispatcher::getInstance()->unsubscribe(&m_downloaderProxy, "");
    // Members go in reverse declaration order: this deletes m_installProcess and
    // m_persistentState.
}

void Kestrup::initialize() {
    m_downloaderProxy.setDestinationFolder(UserDataFolder::get());

    m_shutdownTimer.setTimeout(readIntegerSetting(m_logger, "Kestrup/InactivityTimeout", -1));
    m_downloadRetries = readIntegerSetting(m_logger, "Kestrup/DownloadRetries", 3);
    m_downloadRetryInterval = readIntegerSetting(m_logger, "Kestrup/DownloadRetryInterval", 600);
    m_checkForUpdateInterval = readIntegerSetting(m_logger, "Kestrup/CheckForUpdateInterval", 0);
    m_installRetries = readIntegerSetting(m_logger, "Kestrup/InstallRetries", 3);

    const KSPersistentState::KSState_t state = m_persistentState->getState();
    m_resumeDownloadPending = (state == KSPersistentState::Downloading);
    // An installer launched by the last run may or may not have done its work; the
    // version test at start tells. Until then the downloaded installer can be
    // launched again.
    if (state == KSPersistentState::Installing) {
        m_persistentState->setState(KSPersistentState::Downloaded, true);
    }

    // Last: a request must not find the settings at their defaults or the state not
    // yet reconciled. A failed subscription is neither logged nor reported.
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    bus->subscribe(static_cast<IMessageSink*>(this), kestrup_topics::ServiceTopic);
    bus->subscribe(static_cast<IMessageSink*>(this), kestrup_topics::ComponentTopic);
    bus->subscribe(m_installProcess.get(), kestrup_topics::ProcessExecuteTopic);
}

void Kestrup::uninitialize() {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    bus->unsubscribe(static_cast<IMessageSink*>(this), "");
    bus->unsubscribe(m_installProcess.get(), "");
}

void Kestrup::start() {
    {
        // Requests may already arrive: the settle must not interleave with one.
        boost::unique_lock<boost::mutex> lock(m_mutex);
        settlePersistedOffering();
    }
    m_shutdownTimer.startCountdown();
}

void Kestrup::stop() {
    m_shutdownTimer.stopCountdown();
}

void Kestrup::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    const std::string& type = message->getMessageType();
    if (type == "GetUpdateStatus") {
        onGetUpdateStatus(message);
    } else if (type == "PrepareForInstall") {
        onPrepareForInstall(message);
    } else if (type == "LaunchInstall") {
        onLaunchInstall(message);
    } else if (type == "ExecutionStarted") {
        onExecutionStarted(message);
    } else if (type == "ExecutionFinished") {
        onExecutionFinished(message);
    } else if (type == "ExecutionError") {
        onExecutionError(message);
    }
    // Anything else (the backend's "UpdateManifest" among them) is dropped.
}

Kestrup::Settings Kestrup::getSettings() const {
    Settings settings;
    settings.inactivityTimeout = m_shutdownTimer.getTimeout();
    settings.downloadRetries = m_downloadRetries;
    settings.downloadRetryInterval = m_downloadRetryInterval;
    settings.checkForUpdateInterval = m_checkForUpdateInterval;
    settings.installRetries = m_installRetries;
    return settings;
}

KSPersistentState::KSState_t Kestrup::getWorkflowState() {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    return m_persistentState->getState();
}

bool Kestrup::isInactivityCountdownRunning() const {
    return m_shutdownTimer.isRunning();
}

// --- replies --------------------------------------------------------------------

boost::shared_ptr<ServiceOfferingEntity> Kestrup::getServiceOfferingPayload(
    const boost::shared_ptr<LocalMessage>& message) const {
    boost::shared_ptr<ServiceOfferingEntity> entity =
        boost::dynamic_pointer_cast<ServiceOfferingEntity>(message->getPayload());
    if (!entity) throw op_error_exception(797, "Invalid payload");
    return entity;
}

boost::shared_ptr<LocalMessage> Kestrup::createMessage(const std::string& targetTopic,
                                                       const std::string& messageType, int32_t priority,
                                                       const std::string& replyTopic,
                                                       const UUId& sessionId) const {
    CommonMessageProperties properties;
    properties.targetTopic = targetTopic;
    properties.messageType = messageType;
    properties.priority = priority;
    properties.replyTopic = replyTopic;
    properties.sessionId = sessionId;
    properties.user = "UnknownUser";
    return boost::shared_ptr<LocalMessage>(new LocalMessage(properties));
}

void Kestrup::sendStatusReply(int32_t code, const std::string& messageType, const std::string& targetTopic,
                              const UUId& sessionId) const {
    boost::shared_ptr<LocalMessage> reply = createMessage(targetTopic, messageType, 0, "", sessionId);
    boost::shared_ptr<StatusResultTypePayload> payload(new StatusResultTypePayload());
    payload->setResult(code);
    reply->setPayload(payload);
    MessageDispatcher::getInstance()->post(reply);  // a refused post is not noticed
}

void Kestrup::requireState(KSPersistentState::KSState_t required) const {
    const KSPersistentState::KSState_t current = m_persistentState->getState();
    if (current == required) return;
    throw op_error_exception(798, "Discarding message due to invalid state. Current: " +
                                      boost::lexical_cast<std::string>(static_cast<int32_t>(current)) +
                                      " Required: " +
                                      boost::lexical_cast<std::string>(static_cast<int32_t>(required)));
}

void Kestrup::replyWithError(const op_error_exception& error,
                             const boost::shared_ptr<LocalMessage>& request) const {
    KS_LOG(m_logger, "KESTRUP: " + error.getMessage());
    sendStatusReply(error.getCode(), "OperationError", request->getReplyTopic(), request->getSessionId());
}

// --- the persisted service offering ---------------------------------------------

bool Kestrup::isSameServiceOffering(const ServiceOfferingEntity& entity) {
    std::string persistedId;
    if (m_persistentState->readServiceOfferingId(persistedId) != 0) {
        m_persistentState->setState(KSPersistentState::Idle, true);
        throw op_error_exception(781, "Could not retrieve persisted service offering Id");
    }
    return entity.getApplicationId().getValue() == persistedId;
}

void Kestrup::requireSameServiceOffering(const ServiceOfferingEntity& entity) {
    if (!isSameServiceOffering(entity)) {
        throw op_error_exception(
            798, "Previous ServiceOfferingId must be completed prior to starting a new service offering request");
    }
}

void Kestrup::settlePersistedOffering() {
    // Idle holds no offering; one found there is a leftover of an interrupted write.
    if (m_persistentState->getState() == KSPersistentState::Idle) return;
    ServiceOfferingEntity persisted;
    if (!m_persistentState->readServiceOffering(persisted)) return;

    ServiceOfferingEntity registered;
    if (!m_persistentState->lookupServiceOffering(persisted.getApplicationId(), registered)) {
        KS_LOG(m_logger,
               "KSPersistentState: Error retrieving a previously persisted service offering entity from the xml "
               "store. Resetting the state");
        m_persistentState->setState(KSPersistentState::Idle, true);
        return;
    }
    if (registered.getVersionNumber() == persisted.getVersionNumber()) return;

    // Any change of the installed version, up or down, counts as an installed update.
    const UUId applicationId = registered.getApplicationId();
    const int versionNumber = static_cast<int>(registered.getVersionNumber());
    const std::string sessionId = UUId().getValue();
    const std::string user = "UnknownUser";
    KestrupUtility::notifyBackendAboutUpdate(applicationId, versionNumber, sessionId, user);
    m_persistentState->setState(KSPersistentState::Idle, true);
}
