// "GetUpdateStatus": report where the update stands and, in Idle, ask the backend
// for an update manifest.
#include <list>

#include <boost/pointer_cast.hpp>

#include "Kestrup.h"
#include "KestrupRules.h"
#include "KestrupTopics.h"
#include "messaging/MessageHandler.h"
#include "bus/LocalMessage.h"
#include "bus/UUId.h"
#include "host/KestrupUtility.h"
#include "host/LogLine.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"
#include "platform/Win32Api.h"

namespace {
// How long a check waits for the backend's manifest.
const uint32_t ManifestTimeoutSeconds = 30;
}  // namespace

void Kestrup::onGetUpdateStatus(const boost::shared_ptr<LocalMessage>& request) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_shutdownTimer.stopCountdown();

    // The state the timer rule looks at: this read, or the second one below once
    // it has been made.
    KSPersistentState::KSState_t lastRead = m_persistentState->getState();
    try {
        boost::shared_ptr<ServiceOfferingEntity> entity = getServiceOfferingPayload(request);
        if (lastRead != KSPersistentState::Idle && !isSameServiceOffering(*entity)) {
            abortWorkflow(request);
        }
        if (m_resumeDownloadPending) {
            m_resumeDownloadPending = false;
            resumePersistedDownload();
        }

        // Read again: an abandoned workflow or a failed resumption left Idle, and the
        // same request then goes on with a fresh check.
        lastRead = m_persistentState->getState();
        int32_t code = kestrup_rules::statusCodeForState(lastRead);
        if (lastRead == KSPersistentState::Idle) {
            code = checkForUpdate(request) ? 792 : 791;
        }
        sendStatusReply(code, "OperationSuccess", request->getReplyTopic(), request->getSessionId());
    } catch (const op_error_exception& error) {
        replyWithError(error, request);
    }

    // A running download or installer keeps the inactivity countdown stopped.
    if (lastRead != KSPersistentState::Downloading && lastRead != KSPersistentState::Installing) {
        m_shutdownTimer.startCountdown();
    }
}

bool Kestrup::checkForUpdate(const boost::shared_ptr<LocalMessage>& request) {
    if (!kestrup_rules::isCheckDue(secondsSinceLastCheck(), m_checkForUpdateInterval)) return false;

    // A copy: the request may be read by other receivers at the same time, so its
    // payload is not changed. From here on the version is the installed one.
    ServiceOfferingEntity entity = *getServiceOfferingPayload(request);
    fillServiceOfferingFromRegistry(entity);

    KSManifest manifest;
    requestUpdateManifest(entity, request, manifest);

    bool found = false;
    if (!manifest.getConfigurationItems().empty()) {
        const KSFile file = getKSFile(manifest, entity.getApplicationId());
        if (file.getMirrors().empty()) {
            throw op_error_exception(769, "The manifest received does not contain mirrors.");
        }
        // One flush with the state: a crash leaves either Idle or the whole update.
        m_persistentState->writeServiceOfferingId(entity.getApplicationId().getValue(), false);
        m_persistentState->writeServiceOfferingVersion(entity.getVersionNumber(), false);
        m_persistentState->writeInstallerFile(file, false);
        m_persistentState->setState(KSPersistentState::UpdateAvailable, true);
        found = true;
    }
    recordCheckTime();
    return found;
}

void Kestrup::requestUpdateManifest(const ServiceOfferingEntity& entity,
                                    const boost::shared_ptr<LocalMessage>& request, KSManifest& manifest) {
    std::list<ServiceOfferingEntity> entities;
    entities.push_back(entity);
    boost::shared_ptr<ISerializable> payload = KestrupUtility::createCheckForUpdatesPayloadLP(entities);

    boost::shared_ptr<LocalMessage> message =
        createMessage(kestrup_topics::BackendTopic, "CheckForUpdates", 0, kestrup_topics::ComponentTopic,
                      request->getSessionId());
    message->setPayload(payload);

    // Blocks this delivery (m_mutex held) until the first message on the reply topic.
    boost::shared_ptr<LocalMessage> answer = sendRequestAndWait(message, ManifestTimeoutSeconds);
    if (!answer) throw op_error_exception(796, "Could not obtain update manifest. Timeout reached.");
    if (answer->getMessageType() != "UpdateManifest") {
        throw op_error_exception(802, "Invalid message type received.");
    }
    boost::shared_ptr<KSManifest> received = boost::dynamic_pointer_cast<KSManifest>(answer->getPayload());
    if (!received) throw op_error_exception(797, "Could not downcast KSManifest payload");
    manifest = *received;
}

KSFile Kestrup::getKSFile(const KSManifest& manifest, const UUId& applicationId) {
    // The registry only decides whether a file is chosen at all.
    ServiceOfferingEntity registered(applicationId, 0);
    ServiceOfferingManager* registry = Singleton<ServiceOfferingManager>::instance();
    if (registry == nullptr || registry->getServiceOfferingEntity(applicationId, registered) != 0) {
        KS_LOG(m_logger, "KESTRUP: getKSFile: Error retrieving app version");
        return KSFile();
    }
    return kestrup_rules::chooseInstallerFile(manifest, applicationId);
}

void Kestrup::fillServiceOfferingFromRegistry(ServiceOfferingEntity& entity) {
    ServiceOfferingManager* registry = Singleton<ServiceOfferingManager>::instance();
    const UUId applicationId = entity.getApplicationId();
    if (registry == nullptr || registry->getServiceOfferingEntity(applicationId, entity) != 0) {
        throw op_error_exception(801, "Could not retrieve ServiceOfferingEntity from UpdateInfo");
    }
}

uint32_t Kestrup::secondsSinceLastCheck() {
    int64_t lastCheck = 0;  // an unreadable time counts as 1970-01-01
    if (m_persistentState->readLastCheckForUpdate(lastCheck) != 0) lastCheck = 0;
    return kestrup_rules::secondsSince(static_cast<int64_t>(_time64(nullptr)), lastCheck);
}

void Kestrup::recordCheckTime() {
    m_persistentState->writeLastCheckForUpdate(static_cast<int64_t>(_time64(nullptr)), true);
}
