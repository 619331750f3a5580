#pragma once
// The outside world of the update component for its tests: a fake backend, a fake
// download service, a registry file, a client that waits for its replies, and
// builders for manifests, requests and installer scripts. Everything runs on the
// real bus (MessageDispatcher::getInstance()).
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

// Posts a message with these header fields (priority 0) and, unless null, `payload`.
void postMessage(const std::string& targetTopic, const std::string& messageType, const UUId& sessionId,
                 const boost::shared_ptr<ISerializable>& payload, const std::string& replyTopic = "");

// The result code of a StatusResultTypePayload reply; else -1.
int32_t resultOf(const boost::shared_ptr<LocalMessage>& reply);

using testsupport::readFile;
using testsupport::waitFor;

// Places the recording installer at `path` (on Windows with the extension .exe): it
// writes its arguments, one a line, to `marker` (atomically, so a reader never sees
// half of it). Returns the installer's path.
std::string placeRecordingInstaller(const std::string& path, const std::string& marker);

// The registry of installed applications in an XML file, installed as the process's
// ServiceOfferingManager while it lives.
class RegistryFile {
public:
    explicit RegistryFile(const std::string& path);
    ~RegistryFile() { Singleton<ServiceOfferingManager>::install(nullptr); }
    void set(const UUId& applicationId, uint32_t version);
    // Replaces the file with one that knows no application.
    void clear();

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

// Listens on "event://Backend/Kestrup" and answers "CheckForUpdates" on the
// request's reply topic with the request's session id.
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
    // Runs inside the backend's delivery before each answer is posted.
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

// Listens on "event://Client/Service/Download" and answers each "Start" with the
// next scripted outcome on the request's reply topic (the proxy's topic) and session.
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
    // Outcomes for the next "Start" requests, in order; a "Start" without one gets
    // no answer.
    void script(const std::vector<Outcome>& outcomes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outcomes.assign(outcomes.begin(), outcomes.end());
    }
    // An answer of the service not tied to a "Start" (a later event of a session).
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
    // Posts without waiting.
    void post(const std::string& messageType, const boost::shared_ptr<ISerializable>& payload,
              const UUId& sessionId, const std::string& topic = ServiceTopic) {
        postMessage(topic, messageType, sessionId, payload, m_replyTopic);
    }
    // Posts and waits up to 10 seconds for one more reply than had arrived before;
    // empty on time-out.
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
