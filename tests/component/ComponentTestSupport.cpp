#include "ComponentTestSupport.h"

#include <filesystem>
#include <fstream>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "bus/MessageDispatcher.h"
#include "host/CorvanePath.h"

namespace componenttest {

const char* const ServiceTopic = "event://Client/Service/Kestrup";
const char* const ComponentTopic = "target://Client/Component/Kestrup";

std::string statusTopic(const UUId& sessionId) {
    return "event://Client/Service/KestrupStatus/" + sessionId.getValue();
}

std::string useTemporaryUserDataHome() {
    // Lives as long as the process: the component caches the folder.
    static testsupport::TempDir home;
    testsupport::setEnv(userDataEnvironmentVariable(), home.path().c_str());
    return home.path();
}

KSFile makeFile(const std::vector<std::string>& mirrorUrls, const std::string& arguments) {
    KSFile file;
    std::list<KSMirror> mirrors;
    for (const std::string& url : mirrorUrls) mirrors.push_back(KSMirror(url, url + "/eula"));
    file.setMirrors(mirrors);
    file.setArguments(arguments);
    file.setDigest("d41d8cd98f00b204e9800998ecf8427e");
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

void postMessage(const std::string& targetTopic, const std::string& messageType, const UUId& sessionId,
                 const boost::shared_ptr<ISerializable>& payload, const std::string& replyTopic) {
    boost::shared_ptr<LocalMessage> message =
        testsupport::makeMessage(targetTopic, messageType, replyTopic, sessionId, 0);
    if (payload) message->setPayload(payload);
    MessageDispatcher::getInstance()->post(message);
}

int32_t resultOf(const boost::shared_ptr<LocalMessage>& reply) {
    if (!reply) return -1;
    boost::shared_ptr<StatusResultTypePayload> payload =
        boost::dynamic_pointer_cast<StatusResultTypePayload>(reply->getPayload());
    return payload ? payload->getResult() : -1;
}

std::string recordingInstaller() { return KESTRUP_RECORDING_INSTALLER; }

std::string recordedArguments() {
    const std::string recorded = readFile("recorded.txt");
    const std::size_t pidEnd = recorded.find('\n');
    return pidEnd == std::string::npos ? "" : recorded.substr(pidEnd + 1);
}

RegistryFile::RegistryFile(const std::string& path) : m_path(path), m_manager(new ServiceOfferingManager(path)) {
    clear();
    Singleton<ServiceOfferingManager>::install(m_manager.get());
}

void RegistryFile::set(const UUId& applicationId, uint32_t version) {
    m_manager->setServiceOfferingEntity(ServiceOfferingEntity(applicationId, version));
}

void RegistryFile::clear() {
    std::ofstream(m_path, std::ios::trunc) << "<serviceOfferings/>\n";
}

FakeBackend::FakeBackend() : m_mode(AnswerManifest), m_sink({"event://Backend/Kestrup"}) {
    m_sink.setOnMessage([this](const boost::shared_ptr<LocalMessage>& message) {
        if (message->getMessageType() == "CheckForUpdates") answer(message);
    });
}

void FakeBackend::answer(const boost::shared_ptr<LocalMessage>& request) {
    std::lock_guard<std::mutex> lock(m_mutex);  // held through the hook, which must not call the setters
    if (m_mode == Silent) return;
    if (m_beforeAnswer) m_beforeAnswer();
    postMessage(request->getReplyTopic(), m_mode == AnswerWrongType ? "SomethingElse" : "UpdateManifest",
                request->getSessionId(),
                m_mode == AnswerWithoutPayload ? nullptr : boost::make_shared<KSManifest>(m_manifest));
}

FakeDownloadService::FakeDownloadService() : m_sink({"event://Client/Service/Download"}) {
    m_sink.setOnMessage([this](const boost::shared_ptr<LocalMessage>& message) {
        if (message->getMessageType() == "Start") answer(message);
    });
}

void FakeDownloadService::send(const std::string& messageType, const UUId& sessionId, int32_t code,
                               const std::string& text) {
    postMessage("event://Client/Kestrup/DownloaderProxy", messageType, sessionId,
                boost::make_shared<StatusReportPayload>(code, text));
}

void FakeDownloadService::answer(const boost::shared_ptr<LocalMessage>& request) {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_outcomes.empty()) return;
        outcome = m_outcomes.front();
        m_outcomes.pop_front();
    }
    const char* const types[] = {"WasFinished", "WasFailed", "WasAborted"};
    postMessage(request->getReplyTopic(), types[outcome.kind], request->getSessionId(),
                outcome.kind == Outcome::Abort ? nullptr
                                               : boost::make_shared<StatusReportPayload>(outcome.code, outcome.path));
}

std::vector<std::string> FakeDownloadService::startedUrls(std::size_t first) const {
    std::vector<std::string> urls;
    const std::vector<boost::shared_ptr<LocalMessage>> starts = requests("Start");
    for (std::size_t i = first; i < starts.size(); ++i) {
        boost::shared_ptr<StartRequestPayload> payload =
            boost::dynamic_pointer_cast<StartRequestPayload>(starts[i]->getPayload());
        urls.push_back(payload ? payload->getUrl() : "<no StartRequestPayload>");
    }
    return urls;
}

bool FakeDownloadService::waitForRequests(const std::string& messageType, std::size_t count) const {
    return waitFor([&] { return requests(messageType).size() >= count; });
}

}  // namespace componenttest
