// Uses the installed package the way a host would: runs on the installed host
// library, posts a message with a payload on its own bus and receives it, and loads
// the installed plug-in module when the package has one. Exits non-zero with a
// reason on the first failure.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include <boost/pointer_cast.hpp>

#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/ThreadPoolDispatcher.h"
#include "host/Logger.h"
#include "payloads/Payloads.h"
#include "plugin/PluginManager.h"

namespace {

struct PromiseSink : IMessageSink {
    std::promise<boost::shared_ptr<LocalMessage>> received;
    void handleMessage(boost::shared_ptr<LocalMessage> message) override { received.set_value(message); }
};

std::string check(const std::string& prefix, ThreadPoolDispatcher& bus) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&Logger::getDefaultInstance), &info) == 0 || !info.dli_fname ||
        std::string(info.dli_fname).compare(0, prefix.size(), prefix) != 0)
        return std::string("the host library does not come from ") + prefix;

    PromiseSink sink;
    CommonMessageProperties properties;
    properties.messageType = "InstallCheck";
    properties.targetTopic = "event://Consumer/InstallCheck";
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    message->setPayload(boost::shared_ptr<ISerializable>(new StatusReportPayload(42, "installed")));
    std::future<boost::shared_ptr<LocalMessage>> arrival = sink.received.get_future();
    if (bus.subscribe(&sink, properties.targetTopic) != 0 || bus.post(message) != 0) return "subscribe or post failed";
    if (arrival.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return "the message did not arrive";
    const auto payload = boost::dynamic_pointer_cast<StatusReportPayload>(arrival.get()->getPayload());
    bus.unsubscribe(&sink, "");
    if (!payload || payload->getCode() != 42 || payload->getMessage() != "installed") return "the payload differs";
#if defined(KESTRUP_PLUGIN_MODULE)
    PluginManager manager;
    if (!manager.loadPlugin(KESTRUP_PLUGIN_MODULE)) return "cannot load the plug-in module: " + manager.lastError();
    const std::vector<std::string> types = manager.registeredTypes();
    if (std::find(types.begin(), types.end(), "Kestrup") == types.end()) return "the module registers no \"Kestrup\"";
#endif
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    ThreadPoolDispatcher bus;
    std::string problem = argc == 2 ? check(argv[1], bus) : "usage: kestrup_consumer <install prefix>";
    if (!bus.shutdown(5000) && problem.empty()) problem = "the bus did not shut down";
    if (!problem.empty()) {
        std::fprintf(stderr, "kestrup_consumer: %s\n", problem.c_str());
        return 1;
    }
    std::printf("kestrup_consumer: ok\n");
    return 0;
}
