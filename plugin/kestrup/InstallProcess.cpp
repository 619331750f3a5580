#include "InstallProcess.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "bus/CommonMessageProperties.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "InstallerLaunch.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

const char* const InstallProcess::Topic = "event://Client/Service/ProcessExecute";
const int32_t InstallProcess::PollIntervalMs;
const int32_t InstallProcess::DefaultWaitTimeoutMs;

namespace {

const char* const kStartExecution = "StartExecution";
const char* const kExecutionStarted = "ExecutionStarted";
const char* const kExecutionFinished = "ExecutionFinished";
const char* const kExecutionError = "ExecutionError";

// One entry of the reply table.
struct Reply {
    const char* messageType;
    int32_t code;
    const char* text;
};

const Reply kWrongPayload = {kExecutionError, 777, "Process could not be started. Wrong payload received"};
const Reply kLaunchFailed = {kExecutionError, 778, "Process could not be started."};
const Reply kStarted = {kExecutionStarted, 0, "Process started"};
const Reply kFinished = {kExecutionFinished, 0, "The process finished execution"};
const Reply kTimedOut = {kExecutionError, 779, "The process timed out"};

// One poll of a waited launch: does the process still run? A process that cannot
// be opened, has ended, or cannot be polled counts as not running.
bool processRuns(DWORD processId, Logger* logger) {
    DWORD error = ERROR_SUCCESS;
    const installer_launch::Poll result = installer_launch::poll(processId, error);
    if (result == installer_launch::Poll::WaitFailed)
        KS_LOG(logger, "INSTALL_PROCESS: Error in WaitForSingleObject (0x" + installer_launch::lowerHex(error) + ")");
    return result == installer_launch::Poll::Running;
}

}  // namespace

InstallProcess::InstallProcess() : InstallProcess(DefaultWaitTimeoutMs) {}

InstallProcess::InstallProcess(int32_t waitTimeoutMs)
    : m_logger(Logger::getDefaultInstance()), m_waitTimeoutMs(waitTimeoutMs), m_stopRequested(false) {}

InstallProcess::~InstallProcess() {
    m_stopRequested = true;
    // Waits for a delivery in progress, which a running wait ends at its next poll.
    MessageDispatcher::getInstance()->unsubscribe(this, "");
}

void InstallProcess::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message || message->getTargetTopic() != Topic || message->getMessageType() != kStartExecution) return;
    try {
        launch(message);
    } catch (const boost::thread_interrupted&) {
        throw;  // the bus is ending this delivery: let it
    } catch (...) {
        // A launch never fails its caller.
    }
}

void InstallProcess::launch(const boost::shared_ptr<LocalMessage>& request) {
    const boost::shared_ptr<ProcessStartInfo> startInfo =
        boost::dynamic_pointer_cast<ProcessStartInfo>(request->getPayload());
    if (!startInfo) {
        KS_LOG(m_logger, "INSTALL_PROCESS: Could not downcast payload");
        reply(request, kWrongPayload.messageType, kWrongPayload.code, kWrongPayload.text);
        return;
    }

    const installer_launch::StartOutcome outcome =
        installer_launch::start(startInfo->getFileName(), startInfo->getArguments());
    if (!outcome.converted) {
        KS_LOG(m_logger, "INSTALL_PROCESS: Could not convert the file name or the arguments (0x" +
                             installer_launch::lowerHex(outcome.error) + ")");
        reply(request, kLaunchFailed.messageType, kLaunchFailed.code, kLaunchFailed.text);
        return;
    }
    if (!outcome.started && outcome.error != ERROR_CANCELLED)  // the user declined the prompt: nothing to log
        KS_LOG(m_logger, "INSTALL_PROCESS: Error when invoking ShellExecuteEx (0x" +
                             installer_launch::lowerHex(outcome.error) + ")");
    if (outcome.started && !outcome.hadHandle)
        KS_LOG(m_logger, "INSTALL_PROCESS: ShellExecuteEx returned a NULL hProcess.");
    const bool launched = outcome.started;
    const DWORD processId = outcome.processId;  // only the id is kept; the wait opens the process afresh

    Reply current = launched ? kStarted : kLaunchFailed;
    if (launched) {
        reply(request, kStarted.messageType, kStarted.code, kStarted.text);

        if (startInfo->getWaitProcessFinish()) {
            const boost::posix_time::ptime start = boost::posix_time::microsec_clock::universal_time();
            const boost::posix_time::ptime giveUp = start + boost::posix_time::milliseconds(m_waitTimeoutMs);
            for (;;) {
                if (!processRuns(processId, m_logger)) {
                    current = kFinished;
                    break;
                }
                if (boost::posix_time::microsec_clock::universal_time() > giveUp) {
                    current = kTimedOut;  // the process is left running
                    break;
                }
                boost::this_thread::sleep(boost::get_system_time() + boost::posix_time::milliseconds(PollIntervalMs));
                if (m_stopRequested) return;  // the launcher is going away
            }
        }
    }

    reply(request, current.messageType, current.code, current.text);
}

void InstallProcess::reply(const boost::shared_ptr<LocalMessage>& request, const std::string& messageType,
                           int32_t code, const std::string& text) {
    try {
        CommonMessageProperties properties;
        properties.messageType = messageType;
        properties.targetTopic = request->getReplyTopic();
        properties.replyTopic = "";
        properties.sessionId = request->getSessionId();
        properties.priority = request->getPriority();
        const boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
        message->setPayload(boost::shared_ptr<ISerializable>(new StatusReportPayload(code, text)));
        MessageDispatcher::getInstance()->post(message);  // a refused post is not our caller's problem
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (...) {
        // Sending a reply never fails the launch.
    }
}
