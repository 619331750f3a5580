#pragma once
#include <boost/shared_ptr.hpp>

#include "Export.h"

class LocalMessage;

// Base of every receiver on the bus.
//
// The constructor sets m_unsubscribeOnDestroy; while it is set, the destructor
// removes the sink from every topic of MessageDispatcher::getInstance(), and of the
// built-in bus too, which the sink may have joined before another bus was installed.
// A derived class whose handleMessage touches its own members must unsubscribe in
// its own destructor as well: by the time this base destructor runs, the derived
// part is gone.
class KESTRUP_HOST_API IMessageSink {
public:
    IMessageSink();
    virtual ~IMessageSink();
    // Called on one of the bus's delivery threads with the sink's own copy of the
    // message pointer. Deliveries to one sink never overlap (see MessageDispatcher).
    virtual void handleMessage(boost::shared_ptr<LocalMessage> message) = 0;

protected:
    bool m_unsubscribeOnDestroy;
};
