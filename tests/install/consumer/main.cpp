// Uses the installed package the way a host would: posts a message with a payload
// on its own bus and receives it, and loads the installed plug-in module when the
// package has one. Exits non-zero with a reason on the first failure.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <boost/pointer_cast.hpp>
#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/ThreadPoolDispatcher.h"
#include "host/Logger.h"
#include "payloads/Payloads.h"
#include "plugin/PluginManager.h"

namespace {

const char kTopic[] = "event://Consumer/InstallCheck";

int fail(const std::string& reason) {
    std::fprintf(stderr, "kestrup_consumer: %s\n", reason.c_str());
    return 1;
}

class WaitingSink : public IMessageSink {
public:
    ~WaitingSink() override { MessageDispatcher::getInstance()->unsubscribe(this, ""); }

    void handleMessage(boost::shared_ptr<LocalMessage> message) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received = message;
        m_arrived.notify_all();
    }

    boost::shared_ptr<LocalMessage> waitForMessage() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait_for(lock, std::chrono::seconds(10), [this] { return m_received != nullptr; });
        return m_received;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    boost::shared_ptr<LocalMessage> m_received;  // guarded by m_mutex
};

// The file a symbol was loaded from.
std::string libraryOf(const void* symbol) {
    Dl_info info{};
    return dladdr(symbol, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}

int checkBus() {
    WaitingSink sink;
    if (MessageDispatcher::getInstance()->subscribe(&sink, kTopic) != 0) {
        return fail("subscribe failed");
    }
    CommonMessageProperties properties;
    properties.messageType = "InstallCheck";
    properties.targetTopic = kTopic;
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    message->setPayload(boost::shared_ptr<ISerializable>(new StatusReportPayload(42, "installed")));
    if (MessageDispatcher::getInstance()->post(message) != 0) {
        return fail("post failed");
    }

    boost::shared_ptr<LocalMessage> received = sink.waitForMessage();
    if (!received) {
        return fail("the message did not arrive within 10 seconds");
    }
    boost::shared_ptr<StatusReportPayload> payload =
        boost::dynamic_pointer_cast<StatusReportPayload>(received->getPayload());
    if (received->getMessageType() != "InstallCheck" || !payload || payload->getCode() != 42 ||
        payload->getMessage() != "installed") {
        return fail("the received message differs from the one posted");
    }
    return 0;
}

int checkPlugin() {
#if defined(KESTRUP_PLUGIN_MODULE)
    PluginManager manager;
    if (!manager.loadPlugin(KESTRUP_PLUGIN_MODULE)) {
        return fail("cannot load the installed plug-in module: " + manager.lastError());
    }
    const std::vector<std::string> types = manager.registeredTypes();
    if (std::find(types.begin(), types.end(), "Kestrup") == types.end()) {
        return fail("the plug-in module did not register \"Kestrup\"");
    }
    manager.unloadAll();
    std::printf("plug-in module %s registers \"Kestrup\"\n", KESTRUP_PLUGIN_MODULE);
#else
    std::printf("no plug-in module in this package; its check is skipped\n");
#endif
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return fail("usage: kestrup_consumer <install prefix>");
    }
    const std::string prefix = argv[1];
    const std::string hostLibrary = libraryOf(reinterpret_cast<const void*>(&Logger::getDefaultInstance));
    if (hostLibrary.compare(0, prefix.size(), prefix) != 0) {
        return fail("the host library comes from '" + hostLibrary + "', not from " + prefix);
    }

    ThreadPoolDispatcher bus;
    MessageDispatcher::setInstance(&bus);
    int result = checkBus();
    if (result == 0) {
        result = checkPlugin();
    }
    MessageDispatcher::setInstance(nullptr);
    if (!bus.shutdown(5000)) {
        return fail("the bus did not shut down");
    }
    if (result == 0) {
        std::printf("kestrup_consumer: ok\n");
    }
    return result;
}
