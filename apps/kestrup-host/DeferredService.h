#pragma once
// A bus service whose implementation is created on the first message of its topic:
// the topic is subscribed from the start, so nothing sent to it is lost, while the
// code behind it (and the libraries that code needs) is loaded only when somebody
// asks. The created service never subscribes itself; every message reaches it
// through this sink, in the order of delivery, and it posts its answers through a
// bus that passes posts on.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include "TransferModule.h"
#include "bus/IMessageSink.h"
#include "bus/MessageDispatcher.h"

class Logger;

namespace kestrup_host {

class DeferredService : public IMessageSink {
public:
    // Creates the service for `bus` (post only); null with `error` when it cannot.
    typedef std::function<std::unique_ptr<kestrup_services::BusService>(MessageDispatcher* bus, std::string& error)>
        Factory;

    // `bus` and `logger` are not owned and must outlive this object.
    DeferredService(const char* topic, MessageDispatcher* bus, Logger* logger, Factory factory);
    ~DeferredService() override;  // calls stop()
    DeferredService(const DeferredService&) = delete;
    DeferredService& operator=(const DeferredService&) = delete;

    // Subscribes to the topic (and starts a service created meanwhile); false when
    // the bus refuses.
    bool start();
    // Unsubscribes (waiting for a delivery in progress), then stops the created
    // service. Idempotent.
    void stop();
    bool isRunning() const;
    // The created service, created now when it was not yet (and started while the
    // topic is subscribed); null when that failed (logged).
    kestrup_services::BusService* service();
    bool created() const;

    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

private:
    // Passes posts on to the real bus; the subscriptions stay with DeferredService.
    class PostOnlyBus : public MessageDispatcher {
    public:
        explicit PostOnlyBus(MessageDispatcher* bus) : m_bus(bus) {}
        int post(boost::shared_ptr<LocalMessage> message) override { return m_bus->post(message); }
        int subscribe(IMessageSink*, const std::string&) override { return 0; }
        void unsubscribe(IMessageSink*, const std::string&) override {}

    private:
        MessageDispatcher* m_bus;
    };

    const std::string m_topic;
    MessageDispatcher* m_bus;
    Logger* m_logger;
    const Factory m_factory;
    PostOnlyBus m_postOnlyBus;
    mutable std::mutex m_mutex;
    bool m_subscribed = false;                                 // guarded by m_mutex
    bool m_failed = false;                                     // creating failed; guarded by m_mutex
    std::unique_ptr<kestrup_services::BusService> m_service;  // guarded by m_mutex
};

}  // namespace kestrup_host
