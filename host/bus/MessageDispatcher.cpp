#include "bus/MessageDispatcher.h"

#include <atomic>

#include "DispatcherInstance.h"
#include "bus/IMessageSink.h"
#include "bus/ThreadPoolDispatcher.h"

namespace {

// Constant-initialised, so usable from any static constructor or destructor.
std::atomic<MessageDispatcher*> g_installed{nullptr};
std::atomic<MessageDispatcher*> g_builtIn{nullptr};

// The built-in bus is created on first use and deliberately never destroyed: sinks
// with static storage may still unsubscribe while the process exits. The static
// pointer keeps it reachable, so leak checkers do not report it.
MessageDispatcher* builtInInstance() {
    static MessageDispatcher* const instance = [] {
        MessageDispatcher* created = new ThreadPoolDispatcher();
        g_builtIn.store(created, std::memory_order_release);
        return created;
    }();
    return instance;
}

}  // namespace

MessageDispatcher::~MessageDispatcher() = default;

MessageDispatcher* MessageDispatcher::getInstance() {
    MessageDispatcher* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : builtInInstance();
}

void MessageDispatcher::setInstance(MessageDispatcher* dispatcher) {
    g_installed.store(dispatcher, std::memory_order_release);
}

namespace kestrup_bus_detail {

MessageDispatcher* installedInstance() { return g_installed.load(std::memory_order_acquire); }

MessageDispatcher* builtInIfCreated() { return g_builtIn.load(std::memory_order_acquire); }

void uninstallIfInstalled(MessageDispatcher* dispatcher) {
    MessageDispatcher* expected = dispatcher;
    g_installed.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

}  // namespace kestrup_bus_detail

IMessageSink::IMessageSink() : m_unsubscribeOnDestroy(true) {}

IMessageSink::~IMessageSink() {
    if (!m_unsubscribeOnDestroy) return;
    // The sink may have subscribed to the built-in bus before another one was
    // installed, so both are cleaned. A built-in bus that was never created holds
    // no subscription and is not started just for this.
    MessageDispatcher* installed = kestrup_bus_detail::installedInstance();
    MessageDispatcher* builtIn = kestrup_bus_detail::builtInIfCreated();
    if (installed) installed->unsubscribe(this, "");
    if (builtIn && builtIn != installed) builtIn->unsubscribe(this, "");
}
