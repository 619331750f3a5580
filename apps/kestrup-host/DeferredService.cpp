#include "DeferredService.h"

#include "host/LogLine.h"
#include "host/Logger.h"

namespace kestrup_host {

DeferredService::DeferredService(const char* topic, MessageDispatcher* bus, Logger* logger, Factory factory)
    : m_topic(topic), m_bus(bus), m_logger(logger), m_factory(std::move(factory)), m_postOnlyBus(bus) {}

DeferredService::~DeferredService() {
    stop();
}

bool DeferredService::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_subscribed) return true;
    if (m_service && !m_service->start()) return false;
    m_subscribed = m_bus->subscribe(this, m_topic) == 0;
    if (!m_subscribed && m_service) m_service->stop();
    return m_subscribed;
}

void DeferredService::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_subscribed) return;
        m_subscribed = false;
    }
    // Outside the lock: it waits for a delivery, which may be creating the service.
    m_bus->unsubscribe(this, "");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_service) m_service->stop();
}

bool DeferredService::isRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribed;
}

bool DeferredService::created() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_service != nullptr;
}

kestrup_services::BusService* DeferredService::service() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_service || m_failed) return m_service.get();
    std::string error;
    std::unique_ptr<kestrup_services::BusService> service = m_factory(&m_postOnlyBus, error);
    if (!service) {
        error = "cannot be served: " + error;
    } else if (m_subscribed && !service->start()) {
        error = "cannot be served: its service did not start";
        service.reset();
    }
    if (!service) {
        // Once: every later message would fail the same way.
        m_failed = true;
        KS_LOG(m_logger, "KESTRUP_HOST: " + m_topic + " " + error);
        return nullptr;
    }
    m_service = std::move(service);
    return m_service.get();
}

void DeferredService::handleMessage(boost::shared_ptr<LocalMessage> message) {
    kestrup_services::BusService* target = service();
    if (target != nullptr) target->handleMessage(message);
}

}  // namespace kestrup_host
