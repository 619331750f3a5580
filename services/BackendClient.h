#pragma once
// The backend on "event://Backend/Kestrup" (BackendClient::Topic): answers update
// checks from an XML update feed and reports installed versions.
//
// Requests:
//   "CheckForUpdates"  payload KSRequest: one KSConfigurationItem per application,
//                      id = application id, number = installed version.
//                      Answer on the request's reply topic with its session id:
//     "UpdateManifest"   KSManifest: one KSConfigurationItem per request item for
//                        which the feed lists releases newer than the installed
//                        version, in request order. Items without newer releases
//                        are left out, so "nothing new" is a manifest without items.
//                        Each item: id = application id, number = newest version,
//                        version label = newest release's label, and one
//                        KSDeliverable per newer release, newest first (the first
//                        deliverable is the release to install). A deliverable's
//                        name is the release label, its first number the version,
//                        and it holds one KSFile: arguments, digest, mirrors in feed
//                        order.
//     "UpdateFeedError"  StatusReportPayload(code, text) when no manifest can be
//                        given (BackendError below). A component waiting for
//                        "UpdateManifest" reports it as an unexpected answer.
//   "UpdateInstalled"  payload ServiceOfferingEntity (application id, version):
//                      logged, and when Options::reportUrl is set, POSTed there as
//                        <updateInstalled applicationId="..." version="2"
//                                         sessionId="..." user="..."/>
//                      (Content-Type: application/xml). No answer; a failed report
//                      is logged.
//
// Update feed (Options::feedUrl: http, https or file URL), UTF-8 XML:
//
//   <updateFeed serial="42" issued="..." expires="...">  (attributes: signed feeds, FeedGuard.h)
//     <application id="3f0c6a52-...">
//       <release version="2" label="2.0">
//         <arguments>--quiet</arguments>            (optional, default empty)
//         <digest>9f86d081...</digest>              (SHA-256 hex; empty = unchecked)
//         <size>1048576</size>                      (optional; bytes)
//         <mirror url="https://a.example/app-2.run" eulaUrl="https://a.example/eula"/>
//         <mirror url="app-2.run"/>                 (relative to the feed's URL)
//       </release>
//     </application>
//   </updateFeed>
//
// Rules: `id` is a UUID; `version` a whole number from 0 to 4294967295, unique
// within its application; each release has at least one mirror with a non-empty
// url. A relative mirror or eula URL is resolved against the feed URL. Elements and
// attributes not named here are ignored. A feed breaking a rule is malformed as a
// whole (FeedMalformed), so a mistake is never half-applied.
//
// Threads: deliveries only queue the request; one worker thread of the client reads
// the feed and answers, so the bus is not held during a fetch. Every fetch is bounded
// by Options::requestTimeoutSeconds and ends early when stop() is called.
#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "FeedGuard.h"
#include "bus/IMessageSink.h"

class LocalMessage;
class Logger;
class MessageDispatcher;

enum class BackendError : int32_t {
    InvalidRequest = 310,  // "CheckForUpdates" without a KSRequest payload
    FeedUnreadable = 311,  // the feed could not be fetched (no URL, network, status >= 400)
    FeedMalformed = 312,   // the feed is not XML or breaks a rule of the format
    Busy = 313,            // too many requests waiting
    FeedUntrusted = 314    // refused by Options::feedTrust: signature, freshness, serial or pins
};

struct BackendClientOptions {
    std::string feedUrl;
    // Where "UpdateInstalled" is POSTed (http or https). Empty: only logged.
    std::string reportUrl;
    unsigned connectTimeoutSeconds = 10;
    // Bound on one whole fetch or report. Keep it below the component's own wait
    // for the manifest (30 s) so that a slow feed still gets an answer it can read.
    unsigned requestTimeoutSeconds = 20;
    // A feed larger than this is unreadable.
    uint64_t maxFeedBytes = uint64_t(8) << 20;
    std::string proxyUrl;  // as in DownloadServiceOptions
    std::string noProxy;
    std::string caInfo;
    unsigned maxQueuedRequests = 32;
    std::string userAgent = "kestrup-backend/1";
    // Signed feeds (FeedGuard.h). The signature is read within the same bound as
    // the feed, at most kMaxFeedSignatureBytes.
    kestrup_services::FeedTrustOptions feedTrust;
    // Releases on this hold list (HoldList.h) are never offered; empty: no list.
    std::string holdListFile;
};

class BackendClient : public IMessageSink {
public:
    static const char* const Topic;                // "event://Backend/Kestrup"
    static const char* const CheckForUpdatesType;  // "CheckForUpdates"
    static const char* const UpdateManifestType;   // "UpdateManifest"
    static const char* const FeedErrorType;        // "UpdateFeedError"
    static const char* const UpdateInstalledType;  // "UpdateInstalled"
    // Where a check that left out held releases says so, for the host to show:
    // "UpdateHeld" with a StatusReportPayload (0, the reason) and the check's session.
    static const char* const NoticeTopic;          // "event://Backend/Kestrup/Notice"
    static const char* const UpdateHeldType;       // "UpdateHeld"

    // `bus` and `logger` are not owned; null means MessageDispatcher::getInstance()
    // and Logger::getDefaultInstance(), taken at construction.
    explicit BackendClient(const BackendClientOptions& options, MessageDispatcher* bus = nullptr,
                           Logger* logger = nullptr);
    ~BackendClient() override;  // calls stop()
    BackendClient(const BackendClient&) = delete;
    BackendClient& operator=(const BackendClient&) = delete;

    // Starts the worker and subscribes to Topic. False (nothing running) when the
    // subscription is refused; true when already started.
    bool start();
    // Unsubscribes, ends a running fetch or report promptly, drops queued requests
    // without answer and joins the worker. Idempotent; restartable.
    void stop();
    bool isRunning() const;

    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    const BackendClientOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;  // owned; its members say which mutex guards them
};

// The health of a version just installed, as the host found it (see kestrup-host's
// health check). Outcomes: "healthy", "failed", "timedOut", "notStarted"; rollback:
// "none" (not configured or not needed), "done", "failed", "timedOut", "notStarted".
struct ReleaseHealthReport {
    std::string applicationId;
    uint32_t version = 0;
    uint32_t previousVersion = 0;
    std::string outcome;
    int exitCode = -1;  // "failed": the health command's exit code
    std::string rollback = "none";
    int rollbackExitCode = -1;  // rollback "done" or "failed": its exit code
};

// POSTs <updateHealth applicationId=".." version=".." previousVersion=".."
// outcome=".." [exitCode=".."] rollback=".." [rollbackExitCode=".."]/> to
// options.reportUrl, bounded by options.requestTimeoutSeconds. False with `error`.
bool postHealthReport(const BackendClientOptions& options, const ReleaseHealthReport& report, std::string& error);
