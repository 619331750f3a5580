#include "messaging/MessageHandler.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/locks.hpp>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"

namespace {

const uint32_t kNoLimit = 0xFFFFFFFFu;

}  // namespace

MessageHandler::MessageHandler() {}

MessageHandler::~MessageHandler() {
    // Before the mutex and the condition go: a delivery running now must finish first.
    MessageDispatcher::getInstance()->unsubscribe(this, "");
}

void MessageHandler::handleMessage(boost::shared_ptr<LocalMessage> message) {
    {
        boost::lock_guard<boost::mutex> lock(mutex);
        response = message;
    }
    condition.notify_one();
}

boost::shared_ptr<LocalMessage> MessageHandler::waitForResponse(uint32_t timeoutSeconds) {
    boost::unique_lock<boost::mutex> lock(mutex);
    if (timeoutSeconds == kNoLimit) {
        while (!response) condition.wait(lock);
    } else {
        const boost::posix_time::ptime deadline =
            boost::posix_time::microsec_clock::universal_time() +
            boost::posix_time::seconds(static_cast<boost::int64_t>(timeoutSeconds));  // long is 32 bits on Windows
        // Spurious wake-ups go back to waiting until the same deadline.
        while (!response) {
            if (!condition.timed_wait(lock, deadline)) break;
        }
    }
    boost::shared_ptr<LocalMessage> taken;
    taken.swap(response);
    return taken;
}

boost::shared_ptr<LocalMessage> sendRequestAndWait(boost::shared_ptr<LocalMessage> request,
                                                   uint32_t timeoutSeconds) {
    if (!request) return boost::shared_ptr<LocalMessage>();
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    // The handler's destructor unsubscribes it, also when the wait is interrupted.
    boost::shared_ptr<MessageHandler> handler(new MessageHandler());
    // Subscribed before the post, so a fast reply is not lost. Failures show up as a time-out.
    bus->subscribe(handler.get(), request->getReplyTopic());
    bus->post(request);
    boost::shared_ptr<LocalMessage> response = handler->waitForResponse(timeoutSeconds);
    handler.reset();
    return response;
}
