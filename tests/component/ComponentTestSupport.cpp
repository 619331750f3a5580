#include "ComponentTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <thread>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "bus/MessageDispatcher.h"
#include "host/ServiceOfferingManager.h"
#include "persistence/PersistentManager.h"

namespace componenttest {

const char* const ServiceTopic = "event://Client/Service/Kestrup";
const char* const ComponentTopic = "target://Client/Component/Kestrup";
const char* const BackendTopic = "event://Backend/Kestrup";
const char* const DownloadTopic = "event://Client/Service/Download";

std::string statusTopic(const UUId& sessionId) {
    return "event://Client/Service/KestrupStatus/" + sessionId.getValue();
}

std::string useTemporaryUserDataHome() {
    // Lives as long as the process: the component caches the folder.
    static testsupport::TempDir home;
    ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    return home.path();
}

KSFile makeFile(const std::vector<std::string>& mirrorUrls, const std::string& arguments,
                const std::string& digest) {
    KSFile file;
    std::list<KSMirror> mirrors;
    for (const std::string& url : mirrorUrls) mirrors.push_back(KSMirror(url, url + "/eula"));
    file.setMirrors(mirrors);
    file.setArguments(arguments);
    file.setDigest(digest);
    return file;
}

KSConfigurationItem makeItem(const UUId& applicationId, const std::vector<std::list<KSFile>>& deliverableFiles) {
    KSConfigurationItem item(applicationId, 7);
    std::list<KSDeliverable> deliverables;
    for (const std::list<KSFile>& files : deliverableFiles) {
        KSDeliverable deliverable;
        deliverable.setName("setup");
        deliverable.setFiles(files);
        deliverables.push_back(deliverable);
    }
    item.setDeliverables(deliverables);
    return item;
}

KSManifest makeManifest(const std::vector<KSConfigurationItem>& items) {
    KSManifest manifest;
    manifest.setConfigurationItems(std::list<KSConfigurationItem>(items.begin(), items.end()));
    return manifest;
}

KSManifest makeManifest(const UUId& applicationId, const KSFile& file) {
    return makeManifest({makeItem(applicationId, {{file}})});
}

boost::shared_ptr<ServiceOfferingEntity> offering(const UUId& applicationId, uint32_t version) {
    return boost::make_shared<ServiceOfferingEntity>(applicationId, version);
}

int32_t resultOf(const boost::shared_ptr<LocalMessage>& reply) {
    if (!reply) return -1;
    boost::shared_ptr<StatusResultTypePayload> payload =
        boost::dynamic_pointer_cast<StatusResultTypePayload>(reply->getPayload());
    return payload ? payload->getResult() : -1;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// --- RegistryFile ----------------------------------------------------------------

RegistryFile::RegistryFile(const std::string& path) : m_path(path), m_manager(new ServiceOfferingManager(path)) {
    clear();
    Singleton<ServiceOfferingManager>::install(m_manager.get());
}

RegistryFile::~RegistryFile() {
    Singleton<ServiceOfferingManager>::install(nullptr);
}

void RegistryFile::set(const UUId& applicationId, uint32_t version) {
    m_manager->setServiceOfferingEntity(ServiceOfferingEntity(applicationId, version));
}

void RegistryFile::clear() {
    std::ofstream(m_path, std::ios::trunc) << "<serviceOfferings/>\n";
}

// --- StoreFolder -----------------------------------------------------------------

StoreFolder::StoreFolder(const std::string& folder) {
    PersistentManager::setStoreFolder(folder);
}

StoreFolder::~StoreFolder() {
    PersistentManager::setStoreFolder("");
}

// --- FakeBackend -----------------------------------------------------------------

FakeBackend::FakeBackend() : m_mode(AnswerManifest), m_delay(0), m_sink({BackendTopic}) {
    m_sink.setOnMessage([this](const boost::shared_ptr<LocalMessage>& message) {
        if (message->getMessageType() == "CheckForUpdates") answer(message);
    });
}

void FakeBackend::setManifest(const KSManifest& manifest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_manifest = manifest;
}

void FakeBackend::setMode(Mode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
}

void FakeBackend::setAnswerDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delay = delay;
}

void FakeBackend::setBeforeAnswer(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_beforeAnswer = std::move(hook);
}

std::size_t FakeBackend::checkCount() const {
    return m_sink.messagesOfType("CheckForUpdates").size();
}

std::vector<boost::shared_ptr<LocalMessage>> FakeBackend::checks() const {
    return m_sink.messagesOfType("CheckForUpdates");
}

boost::shared_ptr<LocalMessage> FakeBackend::waitForUpdateInstalled(std::chrono::milliseconds timeout) {
    return m_sink.waitForType("UpdateInstalled", timeout);
}

std::size_t FakeBackend::updateInstalledCount() const {
    return m_sink.messagesOfType("UpdateInstalled").size();
}

void FakeBackend::answer(const boost::shared_ptr<LocalMessage>& request) {
    KSManifest manifest;
    Mode mode;
    std::chrono::milliseconds delay;
    std::function<void()> beforeAnswer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        manifest = m_manifest;
        mode = m_mode;
        delay = m_delay;
        beforeAnswer = m_beforeAnswer;
    }
    if (mode == Silent) return;
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (beforeAnswer) beforeAnswer();

    CommonMessageProperties properties;
    properties.targetTopic = request->getReplyTopic();
    properties.messageType = (mode == AnswerWrongType) ? "SomethingElse" : "UpdateManifest";
    properties.sessionId = request->getSessionId();
    boost::shared_ptr<LocalMessage> reply(new LocalMessage(properties));
    if (mode != AnswerWithoutPayload) reply->setPayload(boost::make_shared<KSManifest>(manifest));
    MessageDispatcher::getInstance()->post(reply);
}

// --- FakeDownloadService -----------------------------------------------------------

FakeDownloadService::FakeDownloadService() : m_sink({DownloadTopic}) {
    m_sink.setOnMessage([this](const boost::shared_ptr<LocalMessage>& message) {
        if (message->getMessageType() == "Start") answer(message);
    });
}

void FakeDownloadService::script(const std::vector<Outcome>& outcomes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outcomes.assign(outcomes.begin(), outcomes.end());
}

void FakeDownloadService::send(const std::string& messageType, const UUId& sessionId, int32_t code,
                               const std::string& text) {
    CommonMessageProperties properties;
    properties.targetTopic = "event://Client/Kestrup/DownloaderProxy";
    properties.messageType = messageType;
    properties.sessionId = sessionId;
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    if (messageType != "WasAborted") message->setPayload(boost::make_shared<StatusReportPayload>(code, text));
    MessageDispatcher::getInstance()->post(message);
}

void FakeDownloadService::answer(const boost::shared_ptr<LocalMessage>& request) {
    Outcome outcome{Outcome::Nothing, 0, ""};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_outcomes.empty()) {
            outcome = m_outcomes.front();
            m_outcomes.pop_front();
        }
    }
    CommonMessageProperties properties;
    properties.targetTopic = request->getReplyTopic();
    properties.sessionId = request->getSessionId();
    switch (outcome.kind) {
    case Outcome::Finish:
        properties.messageType = "WasFinished";
        break;
    case Outcome::Fail:
        properties.messageType = "WasFailed";
        break;
    case Outcome::Abort:
        properties.messageType = "WasAborted";
        break;
    case Outcome::Nothing:
        return;
    }
    boost::shared_ptr<LocalMessage> reply(new LocalMessage(properties));
    if (outcome.kind != Outcome::Abort)
        reply->setPayload(boost::make_shared<StatusReportPayload>(outcome.code, outcome.path));
    MessageDispatcher::getInstance()->post(reply);
}

std::vector<boost::shared_ptr<LocalMessage>> FakeDownloadService::requests(const std::string& messageType) const {
    return m_sink.messagesOfType(messageType);
}

bool FakeDownloadService::waitForRequests(const std::string& messageType, std::size_t count,
                                          std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return requests(messageType).size() >= count; }, timeout);
}

// --- Client ------------------------------------------------------------------------

Client::Client() : m_replyTopic("event://Test/Client/" + UUId::generate().getValue()), m_replies({m_replyTopic}) {}

void Client::post(const std::string& messageType, const boost::shared_ptr<ISerializable>& payload,
                  const UUId& sessionId, const std::string& topic) {
    boost::shared_ptr<LocalMessage> request =
        testsupport::makeMessage(topic, messageType, m_replyTopic, sessionId, 0);
    if (payload) request->setPayload(payload);
    MessageDispatcher::getInstance()->post(request);
}

boost::shared_ptr<LocalMessage> Client::ask(const std::string& messageType,
                                            const boost::shared_ptr<ISerializable>& payload,
                                            const UUId& sessionId, const std::string& topic,
                                            std::chrono::milliseconds timeout) {
    const std::size_t before = m_replies.count();
    post(messageType, payload, sessionId, topic);
    if (!m_replies.waitForCount(before + 1, timeout)) return boost::shared_ptr<LocalMessage>();
    return m_replies.messages()[before];
}

}  // namespace componenttest
