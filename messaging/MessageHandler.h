#pragma once
#include <cstdint>

#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "bus/IMessageSink.h"

class LocalMessage;

// A temporary sink that turns one request on the bus into a synchronous call.
// `mutex` guards `response` and is an inner lock.
class MessageHandler : public IMessageSink {
public:
    MessageHandler();
    ~MessageHandler() override;  // unsubscribes from every topic

    // Stores the message (a later one replaces an earlier one) and wakes the waiter.
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;
    // Waits until a message is stored or `timeoutSeconds` pass (0xFFFFFFFF: no
    // limit), then takes it out. Empty on time-out. Interruptible
    // (boost::thread_interrupted passes on).
    boost::shared_ptr<LocalMessage> waitForResponse(uint32_t timeoutSeconds);

private:
    boost::shared_ptr<LocalMessage> response;
    boost::mutex mutex;
    boost::condition_variable condition;
};

// Subscribes a MessageHandler to the request's reply topic, posts the request and
// waits for the first answer. Empty on time-out. The handler is unsubscribed when
// this returns, also when boost::thread_interrupted passes on.
boost::shared_ptr<LocalMessage> sendRequestAndWait(boost::shared_ptr<LocalMessage> request,
                                                   uint32_t timeoutSeconds);
