#pragma once
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"

class Logger;
class LocalMessage;

// Starts the downloaded installer as a process and reports on it. Listens (once
// subscribed by its owner) on "event://Client/Service/ProcessExecute" for
// "StartExecution" with a ProcessStartInfo payload, and answers on the request's
// reply topic with "ExecutionStarted", "ExecutionFinished" or "ExecutionError"
// (StatusReportPayload). A waited launch holds the delivering thread while it polls.
class InstallProcess : public IMessageSink {
public:
    static const char* const Topic;  // "event://Client/Service/ProcessExecute"

    InstallProcess();
    ~InstallProcess() override;
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

private:
    void launch(const boost::shared_ptr<LocalMessage>& request);
    void reply(const boost::shared_ptr<LocalMessage>& request, const std::string& messageType,
               int32_t code, const std::string& text);

    Logger* m_logger;
    int32_t m_waitTimeoutMs;  // 7,200,000: two hours
};
