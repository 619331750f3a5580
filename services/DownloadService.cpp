#include "DownloadService.h"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "CurlSupport.h"
#include "DestinationFolder.h"
#include "DownloadLeftovers.h"
#include "DownloadSessionStore.h"
#include "DownloadTransfer.h"
#include "FileNames.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

namespace ks = kestrup_services;

namespace {

const char* const kStartType = "Start";
const char* const kResumeType = "Resume";
const char* const kAbortType = "Abort";
const char* const kFinishedType = "WasFinished";
const char* const kFailedType = "WasFailed";
const char* const kAbortedType = "WasAborted";
const char* const kProgressType = "ProgressReport";
// Sessions whose last Start is kept in memory for a Resume; beyond that, idle ones
// are forgotten (a Resume then reads their record from the state folder).
const std::size_t kMaxKnownSessions = 1024;

// Absolute form of a destination folder, so that "WasFinished" names a full path.
// Windows takes both separators; the folder keeps the one it was given with, so that
// answers and log lines name it the way its owner wrote it.
std::string absoluteFolder(const std::string& folder) {
    if (folder.empty()) return folder;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::u8path(folder), error);
    if (error) return folder;
    const std::filesystem::path normal = absolute.lexically_normal();
    return folder.find('\\') == std::string::npos ? normal.generic_u8string() : normal.u8string();
}

boost::shared_ptr<StatusReportPayload> finishedPayload(const std::string& path, bool unverified) {
    boost::shared_ptr<StatusReportPayload> payload = boost::make_shared<StatusReportPayload>(0, path);
    if (unverified) payload->setDetail(DownloadService::NoDigestDetail);
    return payload;
}

}  // namespace

const char* downloadFailureName(int32_t code) {
    switch (static_cast<DownloadFailure>(code)) {
    case DownloadFailure::InvalidRequest: return "invalid-request";
    case DownloadFailure::DestinationUnusable: return "destination-unusable";
    case DownloadFailure::TransferFailed: return "transfer-failed";
    case DownloadFailure::HttpStatus: return "http-status";
    case DownloadFailure::DigestMismatch: return "digest-mismatch";
    case DownloadFailure::Stalled: return "stalled";
    case DownloadFailure::TooLarge: return "too-large";
    case DownloadFailure::WriteFailed: return "write-failed";
    case DownloadFailure::UnknownSession: return "unknown-session";
    case DownloadFailure::Busy: return "busy";
    }
    return "unknown";
}

// One queued or running Start/Resume.
struct DownloadJob {
    UUId session;
    ks::DownloadTask task;
    bool resume = false;
    // The earlier download of the session that this Start replaces: another file,
    // whose partial file goes before this one begins.
    std::unique_ptr<ks::DownloadTask> replaced;
    boost::shared_ptr<LocalMessage> request;  // answered when the job ends
    std::shared_ptr<ks::CurlCancel> cancel = std::make_shared<ks::CurlCancel>();
    bool running = false;                          // guarded by Impl::mutex
    boost::shared_ptr<LocalMessage> abortRequest;  // guarded by Impl::mutex
};

struct DownloadService::Impl {
    Impl(const DownloadServiceOptions& serviceOptions, MessageDispatcher* dispatcher, Logger* log)
        : options(serviceOptions),
          bus(dispatcher ? dispatcher : MessageDispatcher::getInstance()),
          logger(log ? log : Logger::getDefaultInstance()),
          store(serviceOptions.stateFolder) {}

    const DownloadServiceOptions options;
    MessageDispatcher* const bus;  // not owned
    Logger* const logger;          // not owned
    ks::DownloadSessionStore store;  // thread-safe on its own

    std::mutex mutex;
    std::condition_variable wake;                          // waits on mutex
    bool running = false;                                  // guarded by mutex
    bool stopping = false;                                 // guarded by mutex
    std::deque<std::shared_ptr<DownloadJob>> queue;        // guarded by mutex
    std::map<UUId, std::shared_ptr<DownloadJob>> active;   // queued or running; guarded by mutex
    std::map<UUId, ks::DownloadTask> known;                // last Start per session; guarded by mutex

    std::mutex lifecycleMutex;           // serialises start() and stop()
    std::vector<std::thread> workers;    // guarded by lifecycleMutex

    void post(const boost::shared_ptr<LocalMessage>& message) {
        if (bus->post(message) != 0) {
            KS_LOG(logger, "DOWNLOAD_SERVICE: Could not post " + message->getMessageType() + " to " +
                               message->getTargetTopic());
        }
    }

    void answer(const boost::shared_ptr<LocalMessage>& request, const std::string& type,
                const boost::shared_ptr<ISerializable>& payload) {
        if (!request || request->getReplyTopic().empty()) return;
        CommonMessageProperties properties;
        properties.messageType = type;
        properties.targetTopic = request->getReplyTopic();
        properties.sessionId = request->getSessionId();
        properties.priority = request->getPriority();
        properties.user = request->getUser();
        boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
        if (payload) message->setPayload(payload);
        post(message);
    }

    void answerFailure(const boost::shared_ptr<LocalMessage>& request, DownloadFailure code,
                       const std::string& text) {
        KS_LOG(logger, "DOWNLOAD_SERVICE: Session " + request->getSessionId().getValue() + " failed (" +
                           std::to_string(static_cast<int32_t>(code)) + "): " + text);
        boost::shared_ptr<StatusReportPayload> payload =
            boost::make_shared<StatusReportPayload>(static_cast<int32_t>(code), text);
        payload->setDetail(downloadFailureName(static_cast<int32_t>(code)));
        answer(request, kFailedType, payload);
    }

    void postProgress(const UUId& session, int32_t priority, uint64_t current, uint64_t total,
                      uint64_t bytesPerSecond) {
        CommonMessageProperties properties;
        properties.messageType = kProgressType;
        properties.targetTopic = DownloadService::progressTopic(session);
        properties.sessionId = session;
        properties.priority = priority;
        boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
        message->setPayload(boost::make_shared<ProgressReportPayload>(current, total, bytesPerSecond));
        // A lost progress report is harmless; no log line per report.
        bus->post(message);
    }

    // Removes the partial file and the record of a session that is not running.
    void discard(const ks::DownloadTask& task) {
        std::string error;
        std::unique_ptr<ks::DestinationFolder> folder = ks::DestinationFolder::open(task.folder, error, false);
        if (folder) folder->removeFile(ks::partialFileName(task));
        store.remove(task.sessionId);
    }

    // Keeps the memory of sessions bounded; their records on disk stay. Caller holds mutex.
    void forgetIdleSessionsBeyond(std::size_t limit) {
        for (auto entry = known.begin(); known.size() > limit && entry != known.end();) {
            entry = active.count(entry->first) ? std::next(entry) : known.erase(entry);
        }
    }

    // The task of the session's last Start or Resume: from memory, else its record.
    bool lastTask(const UUId& session, ks::DownloadTask& task) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::map<UUId, ks::DownloadTask>::const_iterator entry = known.find(session);
            if (entry != known.end()) {
                task = entry->second;
                return true;
            }
        }
        return store.load(session.getValue(), task);
    }

    // The response now filling the partial file has this validator: a later resume
    // must ask for the same file.
    void rememberValidator(const ks::DownloadTask& task, const UUId& session, const std::string& validator) {
        ks::DownloadTask updated = task;
        updated.validator = validator;
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::map<UUId, ks::DownloadTask>::iterator entry = known.find(session);
            if (entry != known.end()) entry->second.validator = validator;
        }
        std::string error;
        if (!store.save(updated, error)) {
            KS_LOG(logger, "DOWNLOAD_SERVICE: Could not write the session record: " + error);
        }
    }

    void enqueue(const boost::shared_ptr<LocalMessage>& request, const ks::DownloadTask& task, bool resume,
                 std::unique_ptr<ks::DownloadTask> replaced = nullptr);
    void workerLoop();
    void runJob(const std::shared_ptr<DownloadJob>& job);
};

void DownloadService::Impl::enqueue(const boost::shared_ptr<LocalMessage>& request, const ks::DownloadTask& task,
                                    bool resume, std::unique_ptr<ks::DownloadTask> replaced) {
    const UUId session = request->getSessionId();
    std::string busy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || stopping) return;
        if (active.count(session)) {
            busy = "the session already has a download in progress";
        } else if (queue.size() >= options.maxQueuedRequests) {
            busy = "too many downloads are waiting";
        } else {
            std::shared_ptr<DownloadJob> job = std::make_shared<DownloadJob>();
            job->session = session;
            job->task = task;
            job->resume = resume;
            job->replaced = std::move(replaced);
            job->request = request;
            queue.push_back(job);
            active[session] = job;
            known[session] = task;
            forgetIdleSessionsBeyond(kMaxKnownSessions);
            wake.notify_one();
        }
    }
    if (!busy.empty()) answerFailure(request, DownloadFailure::Busy, busy);
}

void DownloadService::Impl::workerLoop() {
    for (;;) {
        std::shared_ptr<DownloadJob> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) return;
            job = queue.front();
            queue.pop_front();
            job->running = true;
        }
        try {
            runJob(job);
        } catch (const std::exception& error) {
            // Only allocation failures can get here; the session is released so that
            // it can be started again.
            KS_LOG(logger, std::string("DOWNLOAD_SERVICE: Worker error: ") + error.what());
            std::lock_guard<std::mutex> lock(mutex);
            active.erase(job->session);
        }
    }
}

void DownloadService::Impl::runJob(const std::shared_ptr<DownloadJob>& job) {
    const ks::DownloadTask& task = job->task;
    KS_LOG(logger, std::string("DOWNLOAD_SERVICE: ") + (job->resume ? "Resuming " : "Starting ") + task.sessionId +
                       " from " + ks::redactUrl(task.url) + " into " + task.folder);
    if (job->replaced) {
        KS_LOG(logger, "DOWNLOAD_SERVICE: Session " + task.sessionId + " gave up " +
                           ks::redactUrl(job->replaced->url) + "; its partial file is removed");
        discard(*job->replaced);
    }

    // The record goes first, so that the partial file is never without it.
    std::string error;
    if (!store.save(task, error)) {
        KS_LOG(logger, "DOWNLOAD_SERVICE: Could not write the session record: " + error);
    }

    const UUId session = job->session;
    const int32_t priority = job->request->getPriority();
    ks::ProgressFunction progress = [this, session, priority](uint64_t current, uint64_t total, uint64_t rate) {
        postProgress(session, priority, current, total, rate);
    };
    ks::ValidatorFunction validatorChanged = [this, &task, session](const std::string& validator) {
        rememberValidator(task, session, validator);
    };
    const ks::DownloadOutcome outcome =
        ks::runDownload(task, job->resume, options, *job->cancel, progress, validatorChanged);

    const bool forget = outcome.end == ks::DownloadOutcome::Finished ||
                        outcome.end == ks::DownloadOutcome::Aborted ||
                        (outcome.end == ks::DownloadOutcome::Failed && !outcome.resumable);
    // The record goes before the session is released: a new Start of the session
    // could otherwise write its record first and lose it here.
    if (forget) store.remove(task.sessionId);

    boost::shared_ptr<LocalMessage> abortRequest;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::map<UUId, std::shared_ptr<DownloadJob>>::iterator entry = active.find(session);
        if (entry != active.end() && entry->second == job) active.erase(entry);
        if (forget) known.erase(session);
        abortRequest = job->abortRequest;
    }

    // Answers only after the session is released, so that a client reacting at once
    // (a Start of the next mirror) is not refused as busy.
    switch (outcome.end) {
    case ks::DownloadOutcome::Finished:
        KS_LOG(logger, "DOWNLOAD_SERVICE: Finished " + task.sessionId + ": " + outcome.path +
                           (task.fileHash.empty() ? " (no digest was given: the file is not verified)" : ""));
        answer(job->request, kFinishedType, finishedPayload(outcome.path, task.fileHash.empty()));
        break;
    case ks::DownloadOutcome::Failed:
        answerFailure(job->request, outcome.failure, outcome.text);
        break;
    case ks::DownloadOutcome::Aborted:
        KS_LOG(logger, "DOWNLOAD_SERVICE: Aborted " + task.sessionId);
        break;
    case ks::DownloadOutcome::Stopped:
        KS_LOG(logger, "DOWNLOAD_SERVICE: Stopped " + task.sessionId +
                           (outcome.resumable ? "; the partial file is kept for a resume" : ""));
        break;
    }
    if (abortRequest) answer(abortRequest, kAbortedType, boost::shared_ptr<ISerializable>());
}

void DownloadService::removeLeftovers(const std::set<std::string>& keepSessions,
                                      const std::vector<std::string>& folders) {
    std::set<std::string> keep;
    for (const std::string& session : keepSessions) {
        if (UUId::checkValid(session)) keep.insert(UUId(session).getValue());
    }
    std::vector<std::string> scanned = folders;
    if (!m_impl->options.defaultDestinationFolder.empty()) {
        scanned.push_back(m_impl->options.defaultDestinationFolder);
    }
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    const std::vector<std::string> removed =
        ks::removeDownloadLeftovers(m_impl->store, scanned, [this, &keep](const std::string& session) {
            if (keep.count(UUId(session).getValue())) return true;
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            return m_impl->active.count(UUId(session)) > 0;
        });
    for (const std::string& path : removed) {
        KS_LOG(m_impl->logger, "DOWNLOAD_SERVICE: Removed " + path + " of a download that nothing will continue");
    }
    // Their memory goes too: a later Resume of such a session has nothing to continue.
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    for (auto entry = m_impl->known.begin(); entry != m_impl->known.end();) {
        const bool live = keep.count(entry->first.getValue()) || m_impl->active.count(entry->first);
        entry = live ? std::next(entry) : m_impl->known.erase(entry);
    }
}

DownloadService::DownloadService(const DownloadServiceOptions& options, MessageDispatcher* bus, Logger* logger)
    : m_impl(new Impl(options, bus, logger)) {}

DownloadService::~DownloadService() {
    stop();
    // The base destructor would unsubscribe too, but only after this object is gone.
    m_impl->bus->unsubscribe(this, "");
}

const DownloadServiceOptions& DownloadService::options() const { return m_impl->options; }

bool DownloadService::isRunning() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running;
}

bool DownloadService::start() {
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (m_impl->running) return true;
        m_impl->running = true;
        m_impl->stopping = false;
    }
    ks::ensureCurlGlobalInit();
    const unsigned count = m_impl->options.workerThreads > 0 ? m_impl->options.workerThreads : 1;
    for (unsigned i = 0; i < count; ++i) {
        m_impl->workers.emplace_back([this] { m_impl->workerLoop(); });
    }
    if (m_impl->bus->subscribe(this, Topic) != 0) {
        KS_LOG(m_impl->logger, std::string("DOWNLOAD_SERVICE: Could not subscribe to ") + Topic);
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            m_impl->stopping = true;
            m_impl->wake.notify_all();
        }
        for (std::thread& worker : m_impl->workers) worker.join();
        m_impl->workers.clear();
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->running = false;
        m_impl->stopping = false;
        return false;
    }
    KS_LOG(m_impl->logger, "DOWNLOAD_SERVICE: Serving " + std::string(Topic) + " with " + std::to_string(count) +
                               " workers");
    return true;
}

void DownloadService::stop() {
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (!m_impl->running) return;
    }
    // No new request after this; it waits for a delivery in progress.
    m_impl->bus->unsubscribe(this, "");
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
        for (auto& entry : m_impl->active) {
            if (entry.second->running) entry.second->cancel->cancel(ks::CurlCancel::Stop);
        }
        m_impl->queue.clear();
        m_impl->wake.notify_all();
    }
    for (std::thread& worker : m_impl->workers) worker.join();
    m_impl->workers.clear();
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->active.clear();
    m_impl->running = false;
    m_impl->stopping = false;
    KS_LOG(m_impl->logger, "DOWNLOAD_SERVICE: Stopped");
}

void DownloadService::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    const std::string& type = message->getMessageType();
    if (type == kStartType) {
        boost::shared_ptr<StartRequestPayload> payload =
            boost::dynamic_pointer_cast<StartRequestPayload>(message->getPayload());
        if (!payload) {
            m_impl->answerFailure(message, DownloadFailure::InvalidRequest, "Start without a StartRequestPayload");
            return;
        }
        ks::DownloadTask task;
        task.url = payload->getUrl();
        task.folder = absoluteFolder(payload->getDestinationFolder().empty()
                                         ? m_impl->options.defaultDestinationFolder
                                         : payload->getDestinationFolder());
        task.fileHash = payload->getFileHash();
        task.sessionId = message->getSessionId().getValue();
        task.fileName = ks::safeFileNameFromUrl(task.url);
        task.useAuth = payload->getUseAuthData();
        if (task.useAuth) {
            task.userName = payload->getUserName();
            task.password = payload->getPassword();
        }
        DownloadFailure code;
        const std::string problem = ks::validateTask(task, code);
        if (!problem.empty()) {
            m_impl->answerFailure(message, code, problem);
            return;
        }
        // A new Start of the same file (a retry) continues what the last attempt
        // kept; a Start of another file gives the session's earlier one up.
        ks::DownloadTask previous;
        if (!m_impl->lastTask(message->getSessionId(), previous)) {
            m_impl->enqueue(message, task, false);
        } else if (ks::sameFile(previous, task)) {
            task.validator = previous.validator;
            m_impl->enqueue(message, task, !task.validator.empty());
        } else {
            m_impl->enqueue(message, task, false, std::make_unique<ks::DownloadTask>(previous));
        }
    } else if (type == kResumeType) {
        const UUId session = message->getSessionId();
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            if (m_impl->active.count(session)) {
                KS_LOG(m_impl->logger, "DOWNLOAD_SERVICE: Resume of " + session.getValue() +
                                           " ignored: its download is in progress");
                return;
            }
        }
        ks::DownloadTask task;
        if (!m_impl->lastTask(session, task)) {
            m_impl->answerFailure(message, DownloadFailure::UnknownSession,
                                  "no download of session " + session.getValue() + " is known");
            return;
        }
        m_impl->enqueue(message, task, true);
    } else if (type == kAbortType) {
        const UUId session = message->getSessionId();
        ks::DownloadTask task;
        bool found = false;
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            std::map<UUId, std::shared_ptr<DownloadJob>>::iterator entry = m_impl->active.find(session);
            if (entry != m_impl->active.end()) {
                std::shared_ptr<DownloadJob> job = entry->second;
                if (job->running) {
                    // The worker answers once the transfer has stopped.
                    job->abortRequest = message;
                    job->cancel->cancel(ks::CurlCancel::Abort);
                    return;
                }
                for (auto queued = m_impl->queue.begin(); queued != m_impl->queue.end(); ++queued) {
                    if (*queued == job) {
                        m_impl->queue.erase(queued);
                        break;
                    }
                }
                m_impl->active.erase(entry);
            }
            std::map<UUId, ks::DownloadTask>::iterator knownEntry = m_impl->known.find(session);
            if (knownEntry != m_impl->known.end()) {
                task = knownEntry->second;
                found = true;
                m_impl->known.erase(knownEntry);
            }
        }
        if (!found) found = m_impl->store.load(session.getValue(), task);
        if (found) m_impl->discard(task);
        KS_LOG(m_impl->logger, "DOWNLOAD_SERVICE: Aborted " + session.getValue());
        m_impl->answer(message, kAbortedType, boost::shared_ptr<ISerializable>());
    }
}
