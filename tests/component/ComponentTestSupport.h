#pragma once
// The update component's outside world on the real bus: a fake backend and download
// service, a registry file, a client that waits for its replies, payload builders.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "support/TestSupport.h"
#include "bus/LocalMessage.h"
#include "bus/Singleton.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Payloads.h"
#include "persistence/PersistentManager.h"

namespace componenttest {

extern const char* const ServiceTopic;    // "event://Client/Service/Kestrup"
extern const char* const ComponentTopic;  // "target://Client/Component/Kestrup"

std::string statusTopic(const UUId& sessionId);

// Points $XDG_DATA_HOME at a folder that lives as long as the process; returns it.
std::string useTemporaryUserDataHome();

KSFile makeFile(const std::vector<std::string>& mirrorUrls, const std::string& arguments = "/quiet");
// One configuration item for `applicationId` with one deliverable holding `file`.
KSManifest makeManifest(const UUId& applicationId, const KSFile& file);
KSManifest makeManifest(const std::vector<KSConfigurationItem>& items);
KSConfigurationItem makeItem(const UUId& applicationId, const std::vector<std::list<KSFile>>& deliverableFiles);

boost::shared_ptr<ServiceOfferingEntity> offering(const UUId& applicationId, uint32_t version);

void postMessage(const std::string& targetTopic, const std::string& messageType, const UUId& sessionId,
                 const boost::shared_ptr<ISerializable>& payload, const std::string& replyTopic = "");

// The result code of a StatusResultTypePayload reply; else -1.
int32_t resultOf(const boost::shared_ptr<LocalMessage>& reply);

using testsupport::readFile;
using testsupport::waitFor;

// The recording installer: started in a folder, it writes "recorded.txt" there (its
// pid, then its arguments, one a line). The arguments recorded in the working folder,
// "" before it ran.
std::string recordingInstaller();
std::string recordedArguments();

// The registry of installed applications, the process's ServiceOfferingManager while it lives.
class RegistryFile {
public:
    explicit RegistryFile(const std::string& path);
    ~RegistryFile() { Singleton<ServiceOfferingManager>::install(nullptr); }
    void set(const UUId& applicationId, uint32_t version);
    void clear();  // knows no application

private:
    std::string m_path;
    std::unique_ptr<ServiceOfferingManager> m_manager;
};

// Points the process-wide store folder at `folder` while it lives.
class StoreFolder {
public:
    explicit StoreFolder(const std::string& folder) { PersistentManager::setStoreFolder(folder); }
    ~StoreFolder() { PersistentManager::setStoreFolder(""); }
};

// Answers "CheckForUpdates" on "event://Backend/Kestrup" as told, under the request's session.
class FakeBackend {
public:
    enum Mode {
        AnswerManifest,        // "UpdateManifest" with the configured manifest
        AnswerWrongType,       // "SomethingElse" with the manifest
        AnswerWithoutPayload,  // "UpdateManifest" without a payload
        Silent                 // no answer
    };

    FakeBackend();
    void setManifest(const KSManifest& manifest) { std::lock_guard<std::mutex> lock(m_mutex); m_manifest = manifest; }
    void setMode(Mode mode) { std::lock_guard<std::mutex> lock(m_mutex); m_mode = mode; }
    void setBeforeAnswer(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_beforeAnswer = hook;
    }

    std::size_t checkCount() const { return received("CheckForUpdates").size(); }
    std::vector<boost::shared_ptr<LocalMessage>> received(const std::string& messageType) const {
        return m_sink.messagesOfType(messageType);
    }

private:
    void answer(const boost::shared_ptr<LocalMessage>& request);

    mutable std::mutex m_mutex;  // guards the three settings below; held while answering
    KSManifest m_manifest;
    Mode m_mode;
    std::function<void()> m_beforeAnswer;
    testsupport::RecordingSink m_sink;  // last: unsubscribed before the settings go
};

// Answers each "Start" on "event://Client/Service/Download" with the next scripted
// outcome (none left: no answer), under the request's session.
class FakeDownloadService {
public:
    struct Outcome {
        enum Kind { Finish, Fail, Abort } kind;
        int32_t code;      // Fail: the service's code
        std::string path;  // Finish: the downloaded file
    };
    static Outcome finish(const std::string& path) { return Outcome{Outcome::Finish, 0, path}; }
    static Outcome fail(int32_t code) { return Outcome{Outcome::Fail, code, ""}; }
    static Outcome abort() { return Outcome{Outcome::Abort, 0, ""}; }

    FakeDownloadService();
    void script(const std::vector<Outcome>& outcomes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outcomes.assign(outcomes.begin(), outcomes.end());
    }
    // An event of a session, not tied to a "Start".
    void send(const std::string& messageType, const UUId& sessionId, int32_t code, const std::string& text = "");

    std::vector<boost::shared_ptr<LocalMessage>> requests(const std::string& messageType) const {
        return m_sink.messagesOfType(messageType);
    }
    // The URLs of the "Start" requests from the `first`-th on.
    std::vector<std::string> startedUrls(std::size_t first = 0) const;
    bool waitForRequests(const std::string& messageType, std::size_t count) const;

private:
    void answer(const boost::shared_ptr<LocalMessage>& request);

    mutable std::mutex m_mutex;  // guards m_outcomes
    std::deque<Outcome> m_outcomes;
    testsupport::RecordingSink m_sink;  // last: unsubscribed before the script goes
};

// A client with a reply topic of its own.
class Client {
public:
    Client() : m_replyTopic("event://Test/Client/" + UUId::generate().getValue()), m_replies({m_replyTopic}) {}
    const std::string& replyTopic() const { return m_replyTopic; }
    void post(const std::string& messageType, const boost::shared_ptr<ISerializable>& payload,
              const UUId& sessionId, const std::string& topic = ServiceTopic) {
        postMessage(topic, messageType, sessionId, payload, m_replyTopic);
    }
    // Posts and waits for the next reply; empty on time-out.
    boost::shared_ptr<LocalMessage> ask(const std::string& messageType,
                                        const boost::shared_ptr<ISerializable>& payload, const UUId& sessionId,
                                        const std::string& topic = ServiceTopic) {
        const std::size_t before = m_replies.count();
        post(messageType, payload, sessionId, topic);
        return m_replies.waitForCount(before + 1) ? m_replies.messages()[before] : nullptr;
    }
    testsupport::RecordingSink& replies() { return m_replies; }

private:
    std::string m_replyTopic;
    testsupport::RecordingSink m_replies;
};

}  // namespace componenttest
