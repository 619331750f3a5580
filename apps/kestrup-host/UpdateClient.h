#pragma once
// A client of the update component on the bus: sends its requests, waits for the
// replies, and follows a download by its session's status, progress and the
// download service's answers.
//
// Threads: one thread sends and waits; cancel() may come from any other thread and
// ends every wait at once. Every wait is bounded by the deadline it is given.
#include <chrono>
#include <cstdint>
#include <string>

#include "MessageInbox.h"
#include "bus/UUId.h"

class MessageDispatcher;

namespace kestrup_host {

struct Reply {
    enum class Kind { Answered, TimedOut, Cancelled };
    Kind kind = Kind::TimedOut;
    std::string messageType;  // "OperationSuccess" or "OperationError" when answered
    int32_t code = 0;         // the reply's result code
    bool isSuccess() const { return kind == Kind::Answered && messageType == "OperationSuccess"; }
};

struct DownloadEvent {
    enum class Kind { Progress, AttemptFailed, Outcome, TimedOut, Cancelled };
    Kind kind = Kind::TimedOut;
    uint64_t currentBytes = 0;    // Progress
    uint64_t totalBytes = 0;      // Progress; 0 when unknown
    uint64_t bytesPerSecond = 0;  // Progress
    int32_t code = 0;             // AttemptFailed: the service's code; Outcome: the status code
    std::string text;             // AttemptFailed: what the service said
};

class UpdateClient {
public:
    typedef MessageInbox::Clock Clock;

    // `bus` is not owned and must outlive the client.
    explicit UpdateClient(MessageDispatcher* bus);
    ~UpdateClient();
    UpdateClient(const UpdateClient&) = delete;
    UpdateClient& operator=(const UpdateClient&) = delete;

    // Listens to what the component tells the backend ("UpdateInstalled", and the
    // backend's "UpdateFeedError" answers). Call before the component starts, so the
    // report of an update installed by the last run is seen.
    bool open();

    // Posts a request ("GetUpdateStatus", "PrepareForInstall", "LaunchInstall") for
    // the application with `session`, on a reply topic of its own, and waits for the
    // first reply until `deadline`.
    Reply ask(const std::string& messageType, const UUId& application, uint32_t version, const UUId& session,
              Clock::time_point deadline);

    // Listens to the download of `session`: its "KestrupStatus", its progress and
    // the download service's failures. Call before the download can end.
    bool followDownload(const UUId& session);
    // The next event of a followed download, waiting until `deadline`.
    DownloadEvent nextDownloadEvent(const UUId& session, Clock::time_point deadline);

    // What the backend said when it could not give a manifest for `session`.
    bool takeFeedError(const UUId& session, std::string& text);
    // Why the check of `session` left a release out: it is on hold. The backend
    // says so just before its manifest, on a topic of its own: wait until `deadline`.
    bool waitForHeldNotice(const UUId& session, Clock::time_point deadline, std::string& text);
    // Whether the download of `session` finished without a digest to check it against.
    bool takeUncheckedFinish(const UUId& session);
    // The installed version the component reported to the backend at its start.
    bool takeInstalledReport(UUId& application, uint32_t& version);

    // Waits until `time`; false when cancelled first.
    bool pauseUntil(Clock::time_point time);

    void cancel();
    // Stops listening and drops what was received. Call before the module that
    // created some of those messages is unloaded. Idempotent.
    void close();

private:
    // The text of a StatusReportPayload of `type` on `topic` for `session`.
    bool takeReport(const char* topic, const char* type, const UUId& session, Clock::time_point deadline,
                    std::string& text);

    MessageInbox m_inbox;
    const std::string m_replyTopicBase;  // unique to this client
    unsigned m_requestCount = 0;         // used by the sending thread only
};

}  // namespace kestrup_host
