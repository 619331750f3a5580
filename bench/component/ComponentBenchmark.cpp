// "GetUpdateStatus" round trips through the module as the host loads it, and the
// pieces an Idle round trip is made of, measured alone in the same process:
//
//   StatusRoundTrip/Reported   non-Idle (UpdateAvailable) with the same offering:
//                              request -> component -> reply, no backend, no write.
//   StatusRoundTrip/IdleCheck  Idle with a backend that answers at once with an
//                              empty manifest: request -> component -> backend ->
//                              manifest -> reply, plus one read and one durable
//                              write ("lastCheckForUpdate") of the store.
//   Piece/BusRoundTrip         one request and its reply through the bus.
//   Piece/BackendExchange      sendRequestAndWait against an answering backend: a
//                              temporary listener, a request and its answer.
//   Piece/StoreRead            the read of "lastCheckForUpdate".
//   Piece/StoreCommit          the durable write of "lastCheckForUpdate".
//
// An Idle round trip is about one BusRoundTrip + one BackendExchange + one
// StoreRead + one StoreCommit. The store lives in $KESTRUP_BENCH_TMP, else under the
// current directory (not /tmp, which may be a RAM file system where a sync costs
// nothing). Medians of several repetitions are reported.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include "KSPersistentState.h"
#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/ConfigurationManager.h"
#include "host/ServiceOfferingManager.h"
#include "messaging/MessageHandler.h"
#include "payloads/Payloads.h"
#include "persistence/PersistentManager.h"
#include "platform/Win32Api.h"
#include "plugin/IComponent.h"
#include "plugin/PluginManager.h"

namespace fs = std::filesystem;

namespace {

const int kRepetitions = 7;
const UUId kApp("6c1f3a2e-8b4d-4f0a-9e21-0a7d5b3c9f11");
const char* const kServiceTopic = "event://Client/Service/Kestrup";
const char* const kBackendTopic = "event://Backend/Kestrup";
const char* const kEchoTopic = "event://Bench/Echo";

class BenchConfiguration : public ConfigurationManager {
public:
    int reload() override { return 0; }
    int set(const std::string&, const std::string&, int) override { return 1; }
    int get(const std::string& key, std::string& value, int) override {
        if (key == "Identities/DomainID") value = "bench";
        else if (key == "Kestrup/CheckForUpdateInterval") value = "0";
        else return 1;
        return 0;
    }
};

// Answers every message on its topic at once on the message's reply topic: as the
// backend with a manifest (empty, or with one file), as an echo otherwise.
class Responder : public IMessageSink {
public:
    explicit Responder(const std::string& topic) {
        MessageDispatcher::getInstance()->subscribe(this, topic);
    }
    ~Responder() override { MessageDispatcher::getInstance()->unsubscribe(this, ""); }
    void setManifest(const KSManifest& manifest) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_manifest = boost::make_shared<KSManifest>(manifest);
    }
    void handleMessage(boost::shared_ptr<LocalMessage> message) override {
        CommonMessageProperties properties;
        properties.targetTopic = message->getReplyTopic();
        properties.messageType = "UpdateManifest";
        properties.sessionId = message->getSessionId();
        boost::shared_ptr<LocalMessage> reply(new LocalMessage(properties));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            reply->setPayload(m_manifest);
        }
        MessageDispatcher::getInstance()->post(reply);
    }

private:
    std::mutex m_mutex;
    boost::shared_ptr<KSManifest> m_manifest = boost::make_shared<KSManifest>();
};

// A client's reply topic: counts the replies and keeps the last result.
class ReplyWaiter : public IMessageSink {
public:
    ReplyWaiter() : m_topic("event://Bench/Client/" + UUId::generate().getValue()) {
        MessageDispatcher::getInstance()->subscribe(this, m_topic);
    }
    ~ReplyWaiter() override { MessageDispatcher::getInstance()->unsubscribe(this, ""); }
    const std::string& topic() const { return m_topic; }
    void handleMessage(boost::shared_ptr<LocalMessage> message) override {
        boost::shared_ptr<StatusResultTypePayload> result =
            boost::dynamic_pointer_cast<StatusResultTypePayload>(message->getPayload());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
            m_lastResult = result ? result->getResult() : -1;
        }
        m_condition.notify_all();
    }
    // Waits for the reply after `seen` replies; returns its result code.
    int32_t waitFor(std::size_t seen) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_condition.wait_for(lock, std::chrono::seconds(40), [&] { return m_count > seen; }))
            throw std::runtime_error("no reply within 40 seconds");
        return m_lastResult;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::string m_topic;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::size_t m_count = 0;
    int32_t m_lastResult = 0;
};

// Store, registry and configuration of the whole run, in one folder removed at exit.
class BenchWorld {
public:
    BenchWorld() {
        const char* base = std::getenv("KESTRUP_BENCH_TMP");
        fs::path root = (base && *base) ? fs::path(base) : fs::current_path();
        m_folder = (root / ("component-bench-" + std::to_string(::getpid()))).string();
        fs::create_directories(m_folder + "/data");
        ::setenv("XDG_DATA_HOME", (m_folder + "/data").c_str(), 1);
        ConfigurationManager::setDefaultInstance(&m_configuration);
        std::ofstream(m_folder + "/registry.xml") << "<serviceOfferings/>\n";
        m_registry.reset(new ServiceOfferingManager(m_folder + "/registry.xml"));
        m_registry->setServiceOfferingEntity(ServiceOfferingEntity(kApp, 5));
        Singleton<ServiceOfferingManager>::install(m_registry.get());
    }
    ~BenchWorld() {
        Singleton<ServiceOfferingManager>::install(nullptr);
        ConfigurationManager::setDefaultInstance(nullptr);
        PersistentManager::setStoreFolder("");
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    // A fresh, empty store folder.
    void useStore(const std::string& name) {
        PersistentManager::setStoreFolder(m_folder + "/" + name);
    }

private:
    std::string m_folder;
    BenchConfiguration m_configuration;
    std::unique_ptr<ServiceOfferingManager> m_registry;
};

BenchWorld& world() {
    static BenchWorld instance;
    return instance;
}

KSManifest manifestWithFile() {
    KSFile file;
    file.setMirrors({KSMirror("http://mirror.bench/setup.sh", "")});
    file.setArguments("--quiet");
    KSDeliverable deliverable;
    deliverable.setFiles({file});
    KSConfigurationItem item(kApp, 6);
    item.setDeliverables({deliverable});
    KSManifest manifest;
    manifest.setConfigurationItems({item});
    return manifest;
}

// The module loaded by the host's plug-in manager, one component created, initialised
// and started over a store of its own.
class LoadedComponent {
public:
    explicit LoadedComponent(const std::string& storeName) {
        world().useStore(storeName);
        if (!m_plugins.loadPlugin(KESTRUP_MODULE_PATH)) throw std::runtime_error(m_plugins.lastError());
        m_component = static_cast<IComponent*>(m_plugins.createObject("Kestrup"));
        if (!m_component) throw std::runtime_error(m_plugins.lastError());
        m_component->initialize();
        m_component->start();
    }
    ~LoadedComponent() {
        m_component->stop();
        m_component->uninitialize();
        m_plugins.destroyObject("Kestrup", m_component);
    }

private:
    PluginManager m_plugins;  // unloads the module last
    IComponent* m_component = nullptr;
};

void postRequest(const std::string& topic, const std::string& type, const std::string& replyTopic,
                 const boost::shared_ptr<ISerializable>& payload) {
    CommonMessageProperties properties;
    properties.targetTopic = topic;
    properties.messageType = type;
    properties.replyTopic = replyTopic;
    properties.sessionId = UUId::generate();
    boost::shared_ptr<LocalMessage> request(new LocalMessage(properties));
    request->setPayload(payload);
    MessageDispatcher::getInstance()->post(request);
}

void statusRoundTrips(benchmark::State& state, bool idle) {
    world();
    Responder backend(kBackendTopic);
    ReplyWaiter client;
    // The module is created before the benchmark's replies and goes after them.
    LoadedComponent component(idle ? "store-idle" : "store-reported");
    const boost::shared_ptr<ISerializable> request = boost::make_shared<ServiceOfferingEntity>(kApp, 5);
    if (!idle) {
        backend.setManifest(manifestWithFile());
        postRequest(kServiceTopic, "GetUpdateStatus", client.topic(), request);
        if (client.waitFor(0) != 792) throw std::runtime_error("the warm-up check found no update");
    }
    const int32_t expected = idle ? 791 : 792;
    for (auto _ : state) {
        const std::size_t seen = client.count();
        postRequest(kServiceTopic, "GetUpdateStatus", client.topic(), request);
        if (client.waitFor(seen) != expected) {
            state.SkipWithError("unexpected status code");
            break;
        }
    }
}

void BM_StatusRoundTrip_Reported(benchmark::State& state) {
    statusRoundTrips(state, false);
}

void BM_StatusRoundTrip_IdleCheck(benchmark::State& state) {
    statusRoundTrips(state, true);
}

void BM_Piece_BusRoundTrip(benchmark::State& state) {
    world();
    Responder echo(kEchoTopic);
    ReplyWaiter client;
    const boost::shared_ptr<ISerializable> payload = boost::make_shared<ServiceOfferingEntity>(kApp, 5);
    for (auto _ : state) {
        const std::size_t seen = client.count();
        postRequest(kEchoTopic, "Ping", client.topic(), payload);
        client.waitFor(seen);
    }
}

void BM_Piece_BackendExchange(benchmark::State& state) {
    world();
    Responder backend(kBackendTopic);
    const std::string replyTopic = "event://Bench/Exchange/" + UUId::generate().getValue();
    for (auto _ : state) {
        CommonMessageProperties properties;
        properties.targetTopic = kBackendTopic;
        properties.messageType = "CheckForUpdates";
        properties.replyTopic = replyTopic;
        boost::shared_ptr<LocalMessage> request(new LocalMessage(properties));
        request->setPayload(boost::make_shared<KSRequest>());
        boost::shared_ptr<LocalMessage> answer = sendRequestAndWait(request, 30);
        if (!answer) {
            state.SkipWithError("no answer");
            break;
        }
    }
}

void BM_Piece_StoreRead(benchmark::State& state) {
    world().useStore("store-pieces");
    KSPersistentState store;
    store.writeLastCheckForUpdate(_time64(nullptr));
    int64_t value = 0;
    for (auto _ : state) {
        store.readLastCheckForUpdate(value);
        benchmark::DoNotOptimize(value);
    }
}

void BM_Piece_StoreCommit(benchmark::State& state) {
    world().useStore("store-pieces");
    KSPersistentState store;
    for (auto _ : state) {
        store.writeLastCheckForUpdate(_time64(nullptr), true);
    }
}

#define KESTRUP_BENCH(name, iterations)                                                                     \
    BENCHMARK(name)                                                                                         \
        ->Iterations(iterations)                                                                            \
        ->Repetitions(kRepetitions)                                                                         \
        ->ReportAggregatesOnly(true)                                                                        \
        ->Unit(benchmark::kMicrosecond)                                                                     \
        ->UseRealTime()

KESTRUP_BENCH(BM_StatusRoundTrip_Reported, 2000);
KESTRUP_BENCH(BM_StatusRoundTrip_IdleCheck, 300);
KESTRUP_BENCH(BM_Piece_BusRoundTrip, 2000);
KESTRUP_BENCH(BM_Piece_BackendExchange, 2000);
KESTRUP_BENCH(BM_Piece_StoreRead, 2000);
KESTRUP_BENCH(BM_Piece_StoreCommit, 300);

}  // namespace

BENCHMARK_MAIN();
