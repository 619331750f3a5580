#pragma once
#include <atomic>
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
//
// Threads: handleMessage runs on the bus's delivery thread and takes no lock; the
// members it reads are fixed at construction (m_stopRequested is atomic). A waited
// launch polls once a second with an interruptible sleep, so a bus that interrupts
// its deliveries on shutdown ends the wait at once (boost::thread_interrupted passes
// on); every other exception of a launch is caught and dropped.
// Destruction unsubscribes from every topic; a waited launch still running then
// stops at its next poll, without a final reply, and the destructor returns after it.
class InstallProcess : public IMessageSink {
public:
    static const char* const Topic;  // "event://Client/Service/ProcessExecute"
    static const int32_t PollIntervalMs = 1000;
    static const int32_t DefaultWaitTimeoutMs = 7200000;  // two hours

    InstallProcess();
    // A launcher whose waits give up after `waitTimeoutMs` instead of two hours.
    explicit InstallProcess(int32_t waitTimeoutMs);
    ~InstallProcess() override;
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

private:
    void launch(const boost::shared_ptr<LocalMessage>& request);
    void reply(const boost::shared_ptr<LocalMessage>& request, const std::string& messageType,
               int32_t code, const std::string& text);

    Logger* m_logger;                    // not owned; set at construction
    int32_t m_waitTimeoutMs;             // 7,200,000 (two hours) unless given; set at construction
    std::atomic<bool> m_stopRequested;   // set by the destructor, read by a running wait
};
