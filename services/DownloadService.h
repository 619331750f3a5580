#pragma once
// The host download service: fetches files over http, https and file URLs for
// clients on the bus and answers each request on its reply topic.
//
// Protocol on "event://Client/Service/Download" (DownloadService::Topic):
//
//   "Start"  payload StartRequestPayload (url, user name, password, destination
//            folder, use-auth flag, file hash). Downloads the URL into the folder
//            (the default folder of the options when the payload names none).
//   "Resume" no payload. Continues the session's download: the service remembers
//            the URL, folder and hash of the session's last "Start" (in memory, and
//            in a small record in Options::stateFolder so that a Resume after a
//            restart of the host works too). A partial file is continued with an
//            HTTP Range request (with If-Range, see Validators) when the server
//            answers 206; otherwise, and for file URLs, the download starts over.
//   "Abort"  no payload. Stops the session's transfer (or drops its queued
//            request), removes its partial file and record, and answers
//            "WasAborted" once nothing of the session runs any more. A session that
//            is not running gets the same answer at once: Abort is idempotent. The
//            aborted Start or Resume itself gets no answer of its own.
//
// Every answer goes to the reply topic of the request it answers (none when that is
// empty) with that request's session id, priority and user:
//
//   "WasFinished"  StatusReportPayload(0, full path of the verified file); its
//                  detail is NoDigestDetail when the Start gave no hash, so that
//                  nobody calls an unchecked file verified.
//   "WasFailed"    StatusReportPayload(code, text); codes below. The detail text
//                  of the payload holds the failure's short name ("digest-mismatch").
//   "WasAborted"   no payload.
//
// "DownloaderError" is never sent: every failure is a "WasFailed".
//
// Failure codes (DownloadFailure):
//   270 InvalidRequest      missing/foreign payload, empty or malformed URL, an
//                           unsupported scheme, a file hash that is not 64 hex digits
//   271 DestinationUnusable the destination folder cannot be created or opened, or
//                           the partial file cannot be created (for instance something
//                           that is not ours already sits at its path)
//   272 TransferFailed      connection refused, name not resolved, TLS error, a
//                           missing local file, a connection cut short
//   273 HttpStatus          the server answered with a status of 400 or more
//   274 DigestMismatch      the SHA-256 of the bytes differs from the requested hash;
//                           the file is deleted
//   275 Stalled             no byte arrived for Options::stallTimeoutSeconds
//   276 TooLarge            the file exceeds Options::maxFileSizeBytes; deleted
//   277 WriteFailed         writing, or moving the verified file into place, failed
//                           (disk full, the final name is taken by a non-regular file)
//   278 UnknownSession      "Resume" of a session the service knows nothing about
//   279 Busy                the session already has a queued or running transfer, or
//                           the request queue is full
//
// Digest: SHA-256 of the whole file, computed while the bytes arrive (on a resume
// the bytes already on disk are hashed first), compared as hexadecimal text without
// regard to letter case. An empty file hash means "no check".
//
// Files: the name is the last path segment of the URL, percent-decoded and cleaned
// (see safeFileNameFromUrl); it never leaves the destination folder. Bytes go to
// "<name>.<session id>.part" next to the final file, created owner-only (0600) and
// exclusively without following links; only a complete, verified file is renamed to
// "<name>". An existing regular file of that name is replaced atomically; anything
// else there (a link, a folder) fails the download with 277 and is left alone.
//
// Progress: while a transfer runs, "ProgressReport" messages (ProgressReportPayload:
// bytes so far including resumed ones, total bytes or 0 when unknown, bytes per
// second) go to progressTopic(session) = "event://Client/Service/Download/Progress/"
// + the session id's text, at most one per Options::progressIntervalMs, plus a last
// one when all bytes are in.
//
// A failed transfer keeps its partial file and record when a Resume could continue
// it (codes 272, 273, 275); the other failures, a finish and an abort remove them.
// A later "Start" of the same session for the same file (URL, hash, folder) is a
// retry and continues the kept partial file like a Resume; a "Start" of another file
// removes the session's earlier partial file and begins afresh.
//
// Validators: the strong validator of the response that fills a partial file (ETag,
// else Last-Modified) is kept in the session's record. A resume sends it as
// If-Range: a 206 is taken only with the same validator, a 200 starts the file over
// from byte 0. Without a validator a resume starts over, so that the bytes of a
// replaced file are never mixed with the old ones.
//
// Threads: requests are taken on the bus's delivery thread and queued; transfers run
// on the service's own worker threads (Options::workerThreads at once), so a delivery
// never waits for a transfer. Each transfer receives on its worker and writes and
// hashes on a helper thread of its own, through 4 MiB of buffers. stop() ends every
// transfer promptly, answers nothing for them and keeps their partial files and
// records for a later "Resume".
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"
#include "bus/UUId.h"

class LocalMessage;
class Logger;
class MessageDispatcher;

enum class DownloadFailure : int32_t {
    InvalidRequest = 270,
    DestinationUnusable = 271,
    TransferFailed = 272,
    HttpStatus = 273,
    DigestMismatch = 274,
    Stalled = 275,
    TooLarge = 276,
    WriteFailed = 277,
    UnknownSession = 278,
    Busy = 279
};

// Short name of a failure code ("digest-mismatch"); "unknown" for other values.
const char* downloadFailureName(int32_t code);

struct DownloadServiceOptions {
    // Folder used when a "Start" names no destination folder. Empty: such a Start
    // fails with 271.
    std::string defaultDestinationFolder;
    // Folder of the per-session records ("<session id>.download") that let a
    // "Resume" after a restart find the URL, folder and hash of the session's Start.
    // Created (0700) when missing. Empty: sessions are remembered in memory only.
    std::string stateFolder;
    // A transfer that receives no byte for this long fails with 275. 0: no limit.
    unsigned stallTimeoutSeconds = 60;
    // Bound on connecting (TCP and TLS). 0: libcurl's default.
    unsigned connectTimeoutSeconds = 30;
    // Files larger than this fail with 276. 0: no cap.
    uint64_t maxFileSizeBytes = uint64_t(4) << 30;
    // Proxy for http and https ("http://proxy:3128"). Empty: libcurl's default,
    // which follows the environment (http_proxy, https_proxy, no_proxy).
    std::string proxyUrl;
    // Hosts that bypass the proxy, in libcurl's format ("localhost,127.0.0.1");
    // "*" bypasses it for all. Empty: libcurl's default.
    std::string noProxy;
    // Receive rate cap per transfer, bytes per second. 0: unlimited.
    uint64_t maxBytesPerSecond = 0;
    // Minimum time between two progress reports of a session. 0: no reports.
    unsigned progressIntervalMs = 500;
    // Transfers that run at once (at least 1).
    unsigned workerThreads = 2;
    // Requests waiting for a worker; a Start or Resume beyond that fails with 279.
    unsigned maxQueuedRequests = 32;
    // CA bundle file for https. Empty: the system's.
    std::string caInfo;
    // Flush the file to disk before it is renamed into place, so that a crash of the
    // machine cannot leave a short file under the final name.
    bool syncBeforeRename = true;
    std::string userAgent = "kestrup-download/1";
};

class DownloadService : public IMessageSink {
public:
    static const char* const Topic;          // "event://Client/Service/Download"
    static const char* const ProgressTopicPrefix;  // "event://Client/Service/Download/Progress/"
    static std::string progressTopic(const UUId& sessionId);
    static const char* const NoDigestDetail;  // "no-digest"

    // `bus` and `logger` are not owned; null means MessageDispatcher::getInstance()
    // and Logger::getDefaultInstance(), taken at construction.
    explicit DownloadService(const DownloadServiceOptions& options,
                             MessageDispatcher* bus = nullptr, Logger* logger = nullptr);
    // Calls stop().
    ~DownloadService() override;
    DownloadService(const DownloadService&) = delete;
    DownloadService& operator=(const DownloadService&) = delete;

    // Starts the workers and subscribes to Topic. False (and nothing running) when
    // the subscription is refused. Calling it while started returns true.
    bool start();
    // Unsubscribes, stops every transfer (within about a quarter of a second,
    // whatever the network does), drops queued requests without answer and joins
    // every worker. Idempotent; the service may be started again afterwards. Must
    // not be called from the service's own delivery.
    void stop();
    bool isRunning() const;

    // Removes the partial files and session records of every session that is not
    // in `keepSessions` and has no transfer: records in Options::stateFolder, partial
    // files in `folders` and in the default destination folder. Each removal is
    // logged. For the host, at start and at the end, with the download that its
    // saved workflow still refers to: a download given up leaves nothing behind.
    void removeLeftovers(const std::set<std::string>& keepSessions, const std::vector<std::string>& folders);

    // Bus delivery: queues Start/Resume, handles Abort, ignores other types.
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    const DownloadServiceOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;  // owned; its members say which mutex guards them
};
