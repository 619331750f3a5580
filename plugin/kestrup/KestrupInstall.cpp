// "LaunchInstall" and the installer launcher's answers.
#include "InstallProcess.h"
#include "Kestrup.h"
#include "KestrupTopics.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/LogLine.h"
#include "payloads/RequestPayloads.h"

void Kestrup::onLaunchInstall(const boost::shared_ptr<LocalMessage>& request) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_shutdownTimer.stopCountdown();
    try {
        requireState(KSPersistentState::Downloaded);
        boost::shared_ptr<ServiceOfferingEntity> entity = getServiceOfferingPayload(request);
        requireSameServiceOffering(*entity);
        requireRegisteredServiceOffering(*entity);

        std::string fileName;
        std::string arguments;
        if (m_persistentState->readInstallerFilename(fileName) != 0 ||
            m_persistentState->readInstallerArgs(arguments) != 0) {
            m_persistentState->setState(KSPersistentState::Idle, true);
            throw op_error_exception(781, "Could not retrieve persisted installer filename and args");
        }

        // Counts launches, not failures: a limit of N allows N + 1 launches.
        int32_t launches = 0;
        m_persistentState->readRetries(launches);  // a missing count is 0
        if (static_cast<uint32_t>(launches) > static_cast<uint32_t>(m_installRetries)) {
            m_persistentState->setState(KSPersistentState::Idle, true);
            throw op_error_exception(781, "Install retries exceded, returning to Idle state");
        }

        // Counted (in one commit with the state) before the installer starts, so a
        // host killed right after the start cannot give this file an extra launch.
        m_persistentState->writeRetries(static_cast<int32_t>(static_cast<uint32_t>(launches) + 1u), false);
        m_persistentState->setState(KSPersistentState::Installing, true);
        launchInstaller(fileName, arguments);
        // The launcher's answer comes later, on another delivery; it waits for
        // m_mutex and then finds this topic set.
        m_installReplyTopic = request->getReplyTopic();
        // No reply yet, and the countdown stays stopped while the installer runs.
    } catch (const op_error_exception& error) {
        replyWithError(error, request);
        m_shutdownTimer.startCountdown();
    }
}

void Kestrup::launchInstaller(const std::string& fileName, const std::string& arguments) {
    boost::shared_ptr<LocalMessage> message =
        createMessage(kestrup_topics::ProcessExecuteTopic, "StartExecution", 1, kestrup_topics::ServiceTopic, UUId());
    message->setPayload(boost::shared_ptr<ProcessStartInfo>(new ProcessStartInfo(fileName, arguments, false)));
    MessageDispatcher::getInstance()->post(message);  // result not checked
}

void Kestrup::onExecutionStarted(const boost::shared_ptr<LocalMessage>& message) {
    if (message->getMessageType() == "ExecutionStarted") {
        boost::unique_lock<boost::mutex> lock(m_mutex);
        std::string sessionId;
        m_persistentState->readSessionId(sessionId);  // empty when unreadable
        // Sent for every "ExecutionStarted": the launcher repeats it when not asked
        // to wait, so the requester gets the answer twice.
        sendStatusReply(0, "OperationSuccess", m_installReplyTopic, UUId(sessionId));
    }
    m_shutdownTimer.startCountdown();
}

void Kestrup::onExecutionFinished(const boost::shared_ptr<LocalMessage>& /*message*/) {
    // The state stays Installing: the version test at the next start settles it.
    m_shutdownTimer.startCountdown();
}

void Kestrup::onExecutionError(const boost::shared_ptr<LocalMessage>& message) {
    if (message->getMessageType() == "ExecutionError") {
        KS_LOG(m_logger, "KESTRUP: Execution error");
        boost::unique_lock<boost::mutex> lock(m_mutex);
        std::string sessionId;
        m_persistentState->readSessionId(sessionId);  // before Idle removes it
        m_persistentState->setState(KSPersistentState::Idle, true);
        sendStatusReply(778, "OperationError", m_installReplyTopic, UUId(sessionId));
    }
    m_shutdownTimer.startCountdown();
}
