#pragma once
#include <string>

#include <boost/shared_ptr.hpp>

#include "Export.h"

class IMessageSink;
class LocalMessage;

// The message bus: named topics that carry LocalMessage objects to subscribed sinks.
//
// Contract of every bus the host installs:
// - post() hands the message to every sink subscribed to its target topic (exact,
//   case-sensitive match) and returns 0; deliveries happen later on the bus's own
//   threads. A post to a topic nobody subscribes to returns 0 and is dropped. A bus
//   that is shut down refuses posts with a non-zero result.
// - Deliveries to one sink are made one at a time, in the order the messages were
//   posted; different sinks receive concurrently, so a delivery that blocks (for
//   seconds or hours) never holds up deliveries to other sinks.
// - subscribe() returns 0 on success, non-zero on failure (null sink, bus shut
//   down). Subscribing twice to the same topic is a no-op that returns 0.
// - unsubscribe(sink, topic) removes the sink from that topic; an empty topic
//   removes it from every topic. Queued messages that have not yet reached the sink
//   through the removed topics are dropped. It returns only when no delivery to the
//   sink is running on another thread, so the sink may be destroyed right after.
//   Called from inside the sink's own delivery it does not wait for that delivery.
// - An exception that escapes handleMessage is caught and logged; the bus goes on.
// All operations are safe to call from any thread, including from handleMessage.
class KESTRUP_HOST_API MessageDispatcher {
public:
    virtual ~MessageDispatcher();
    virtual int post(boost::shared_ptr<LocalMessage> message) = 0;
    virtual int subscribe(IMessageSink* sink, const std::string& topic) = 0;
    virtual void unsubscribe(IMessageSink* sink, const std::string& topic) = 0;

    // The process's bus: the one installed with setInstance, else the host's
    // built-in thread-pool bus, created on first use. Never null; not owned.
    static MessageDispatcher* getInstance();
    // Installs a bus for the whole process (not owned); null restores the built-in one.
    static void setInstance(MessageDispatcher* dispatcher);
};
