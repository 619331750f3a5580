#pragma once
// The outside world of the update component for its tests: a fake backend, a fake
// download service, a registry file, a client that waits for its replies, and
// builders for manifests and requests. Everything runs on the real bus
// (MessageDispatcher::getInstance()).
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
#include "bus/UUId.h"
#include "payloads/Payloads.h"

class ServiceOfferingManager;

namespace componenttest {

extern const char* const ServiceTopic;    // "event://Client/Service/Kestrup"
extern const char* const ComponentTopic;  // "target://Client/Component/Kestrup"
extern const char* const BackendTopic;    // "event://Backend/Kestrup"
extern const char* const DownloadTopic;   // "event://Client/Service/Download"

// The status topic of a download session.
std::string statusTopic(const UUId& sessionId);

// Points the user data folder ($XDG_DATA_HOME) into a folder of this process that
// lives until the process ends, and returns that folder. Call before the first
// component initialises.
std::string useTemporaryUserDataHome();

KSFile makeFile(const std::vector<std::string>& mirrorUrls, const std::string& arguments = "/quiet",
                const std::string& digest = "d41d8cd98f00b204e9800998ecf8427e");
// One configuration item for `applicationId` with one deliverable holding `file`.
KSManifest makeManifest(const UUId& applicationId, const KSFile& file);
KSManifest makeManifest(const std::vector<KSConfigurationItem>& items);
KSConfigurationItem makeItem(const UUId& applicationId, const std::vector<std::list<KSFile>>& deliverableFiles);

boost::shared_ptr<ServiceOfferingEntity> offering(const UUId& applicationId, uint32_t version);

// The result code of a StatusResultTypePayload reply; -1 when the payload is not one.
int32_t resultOf(const boost::shared_ptr<LocalMessage>& reply);

// Waits up to `timeout` for `condition`; true when it became true.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The registry of installed applications in an XML file, installed as the process's
// ServiceOfferingManager while it lives.
class RegistryFile {
public:
    explicit RegistryFile(const std::string& path);
    ~RegistryFile();
    void set(const UUId& applicationId, uint32_t version);
    // Replaces the file with one that knows no application.
    void clear();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::unique_ptr<ServiceOfferingManager> m_manager;
};

// Points the process-wide store folder at `folder` while it lives.
class StoreFolder {
public:
    explicit StoreFolder(const std::string& folder);
    ~StoreFolder();
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
    void setManifest(const KSManifest& manifest);
    void setMode(Mode mode);
    // Holds each answer back for this long (inside the backend's own delivery).
    void setAnswerDelay(std::chrono::milliseconds delay);
    // Runs inside the backend's delivery before each answer is posted.
    void setBeforeAnswer(std::function<void()> hook);

    std::size_t checkCount() const;
    std::vector<boost::shared_ptr<LocalMessage>> checks() const;
    // The first "UpdateInstalled" notification, waiting up to `timeout`.
    boost::shared_ptr<LocalMessage> waitForUpdateInstalled(std::chrono::milliseconds timeout);
    std::size_t updateInstalledCount() const;
    testsupport::RecordingSink& sink() { return m_sink; }

private:
    void answer(const boost::shared_ptr<LocalMessage>& request);

    mutable std::mutex m_mutex;  // guards the three settings below
    KSManifest m_manifest;
    Mode m_mode;
    std::chrono::milliseconds m_delay;
    std::function<void()> m_beforeAnswer;
    testsupport::RecordingSink m_sink;  // last: unsubscribed before the settings go
};

// Listens on "event://Client/Service/Download" and answers each "Start" with the
// next scripted outcome on the request's reply topic (the proxy's topic) and session.
class FakeDownloadService {
public:
    struct Outcome {
        enum Kind { Finish, Fail, Abort, Nothing } kind;
        int32_t code;      // Fail: the service's code
        std::string path;  // Finish: the downloaded file
    };
    static Outcome finish(const std::string& path) { return Outcome{Outcome::Finish, 0, path}; }
    static Outcome fail(int32_t code) { return Outcome{Outcome::Fail, code, ""}; }
    static Outcome abort() { return Outcome{Outcome::Abort, 0, ""}; }

    FakeDownloadService();
    // Outcomes for the next "Start" requests, in order; a "Start" without one gets
    // no answer.
    void script(const std::vector<Outcome>& outcomes);
    // Answers of the service not tied to a "Start" (a late event of a session).
    void send(const std::string& messageType, const UUId& sessionId, int32_t code = 0,
              const std::string& text = "");

    std::vector<boost::shared_ptr<LocalMessage>> requests(const std::string& messageType) const;
    bool waitForRequests(const std::string& messageType, std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    testsupport::RecordingSink& sink() { return m_sink; }

private:
    void answer(const boost::shared_ptr<LocalMessage>& request);

    mutable std::mutex m_mutex;  // guards m_outcomes
    std::deque<Outcome> m_outcomes;
    testsupport::RecordingSink m_sink;  // last: unsubscribed before the script goes
};

// A client with a reply topic of its own.
class Client {
public:
    Client();
    const std::string& replyTopic() const { return m_replyTopic; }
    // Posts a request with a payload and waits up to `timeout` for one more reply
    // than had arrived before; empty on time-out.
    boost::shared_ptr<LocalMessage> ask(const std::string& messageType,
                                        const boost::shared_ptr<ISerializable>& payload, const UUId& sessionId,
                                        const std::string& topic = ServiceTopic,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Posts without waiting.
    void post(const std::string& messageType, const boost::shared_ptr<ISerializable>& payload,
              const UUId& sessionId, const std::string& topic = ServiceTopic);
    testsupport::RecordingSink& replies() { return m_replies; }

private:
    std::string m_replyTopic;
    testsupport::RecordingSink m_replies;
};

}  // namespace componenttest
