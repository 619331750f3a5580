#include "BackendClient.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include <boost/make_shared.hpp>
#include <pugixml.hpp>

#include "CurlSupport.h"
#include "HoldList.h"
#include "UpdateFeed.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

namespace ks = kestrup_services;

namespace {

// The report body: one element, attribute values escaped by the XML writer.
std::string installedReport(const ServiceOfferingEntity& entity, const boost::shared_ptr<LocalMessage>& message) {
    pugi::xml_document document;
    pugi::xml_node node = document.append_child("updateInstalled");
    node.append_attribute("applicationId") = entity.getApplicationId().getValue().c_str();
    node.append_attribute("version") = std::to_string(entity.getVersionNumber()).c_str();
    node.append_attribute("sessionId") = message->getSessionId().getValue().c_str();
    node.append_attribute("user") = message->getUser().c_str();
    std::ostringstream text;
    document.save(text, "", pugi::format_raw);
    return text.str();
}

}  // namespace

struct BackendClient::Impl {
    Impl(const BackendClientOptions& clientOptions, MessageDispatcher* dispatcher, Logger* log)
        : options(clientOptions),
          bus(dispatcher ? dispatcher : MessageDispatcher::getInstance()),
          logger(log ? log : Logger::getDefaultInstance()),
          guard(options.feedTrust, logger) {
        network.proxyUrl = options.proxyUrl;
        network.noProxy = options.noProxy;
        network.caInfo = options.caInfo;
        network.userAgent = options.userAgent;
        network.connectTimeoutSeconds = options.connectTimeoutSeconds;
    }

    const BackendClientOptions options;
    ks::NetworkSettings network;
    MessageDispatcher* const bus;  // not owned
    Logger* const logger;          // not owned
    const ks::FeedGuard guard;     // used by the worker only

    std::mutex mutex;
    std::condition_variable wake;                              // waits on mutex
    bool running = false;                                      // guarded by mutex
    bool stopping = false;                                     // guarded by mutex
    std::deque<boost::shared_ptr<LocalMessage>> queue;         // guarded by mutex
    std::shared_ptr<ks::CurlCancel> current;                   // the running fetch's; guarded by mutex

    std::mutex lifecycleMutex;  // serialises start() and stop()
    std::thread worker;         // guarded by lifecycleMutex

    void reply(const boost::shared_ptr<LocalMessage>& request, const std::string& type,
               const boost::shared_ptr<ISerializable>& payload) {
        if (request->getReplyTopic().empty()) return;
        CommonMessageProperties properties;
        properties.messageType = type;
        properties.targetTopic = request->getReplyTopic();
        properties.sessionId = request->getSessionId();
        properties.priority = request->getPriority();
        properties.user = request->getUser();
        boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
        message->setPayload(payload);
        if (bus->post(message) != 0) {
            KS_LOG(logger, "BACKEND_CLIENT: Could not post " + type + " to " + properties.targetTopic);
        }
    }

    void replyError(const boost::shared_ptr<LocalMessage>& request, BackendError code, const std::string& text) {
        KS_LOG(logger, "BACKEND_CLIENT: Update check failed (" + std::to_string(static_cast<int32_t>(code)) +
                           "): " + text);
        reply(request, FeedErrorType, boost::make_shared<StatusReportPayload>(static_cast<int32_t>(code), text));
    }

    // Takes the held releases out of `feed` and says which newer ones were left out.
    void leaveOutHeld(const boost::shared_ptr<LocalMessage>& request, ks::UpdateFeed& feed,
                      const std::list<KSConfigurationItem>& requested);
    void workerLoop();
    void checkForUpdates(const boost::shared_ptr<LocalMessage>& request, ks::CurlCancel& cancel);
    void reportInstalled(const boost::shared_ptr<LocalMessage>& request, ks::CurlCancel& cancel);
};

void BackendClient::Impl::workerLoop() {
    for (;;) {
        boost::shared_ptr<LocalMessage> request;
        std::shared_ptr<ks::CurlCancel> cancel = std::make_shared<ks::CurlCancel>();
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) return;
            request = queue.front();
            queue.pop_front();
            current = cancel;
        }
        try {
            if (request->getMessageType() == CheckForUpdatesType) {
                checkForUpdates(request, *cancel);
            } else {
                reportInstalled(request, *cancel);
            }
        } catch (const std::exception& error) {
            KS_LOG(logger, std::string("BACKEND_CLIENT: Worker error: ") + error.what());
        }
        std::lock_guard<std::mutex> lock(mutex);
        current.reset();
    }
}

void BackendClient::Impl::checkForUpdates(const boost::shared_ptr<LocalMessage>& request, ks::CurlCancel& cancel) {
    boost::shared_ptr<KSRequest> payload = boost::dynamic_pointer_cast<KSRequest>(request->getPayload());
    if (!payload) {
        replyError(request, BackendError::InvalidRequest, "CheckForUpdates without a KSRequest payload");
        return;
    }
    if (options.feedUrl.empty()) {
        replyError(request, BackendError::FeedUnreadable, "no update feed is configured");
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    const ks::FetchResult fetched =
        ks::fetchText(options.feedUrl, network, options.maxFeedBytes, options.requestTimeoutSeconds, cancel);
    if (cancel.cancelled()) return;  // stopping: nobody is left to answer
    if (!fetched.ok) {
        replyError(request, BackendError::FeedUnreadable,
                   "cannot read the update feed " + ks::redactUrl(options.feedUrl) + ": " + fetched.error);
        return;
    }
    // The signature shares the feed's time bound, so the answer still comes in time.
    const ks::FeedGuard::Fetch fetchSignature = [&](const std::string& url, uint64_t maxBytes, std::string& body,
                                                    std::string& fetchError) {
        const auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
        const unsigned left = options.requestTimeoutSeconds > spent.count() + 1
                                  ? options.requestTimeoutSeconds - static_cast<unsigned>(spent.count())
                                  : 1u;
        const ks::FetchResult result = ks::fetchText(url, network, maxBytes, left, cancel);
        body = result.body;
        fetchError = result.error;
        return result.ok;
    };
    const std::string refused = "the update feed " + ks::redactUrl(options.feedUrl) + " was refused: ";
    std::string error;
    if (!guard.checkSignature(options.feedUrl, fetched.body, fetchSignature, error)) {
        if (cancel.cancelled()) return;
        replyError(request, BackendError::FeedUntrusted, refused + error);
        return;
    }
    // Relative mirrors are resolved against where the feed was read from, after redirects.
    const std::string readFrom = fetched.finalUrl.empty() ? options.feedUrl : fetched.finalUrl;
    if (readFrom != options.feedUrl) {
        KS_LOG(logger, "BACKEND_CLIENT: The update feed " + ks::redactUrl(options.feedUrl) + " was read from " +
                           ks::redactUrl(readFrom));
    }
    ks::UpdateFeed feed;
    if (!ks::parseUpdateFeed(fetched.body, readFrom, feed, error)) {
        replyError(request, BackendError::FeedMalformed,
                   "the update feed " + ks::redactUrl(options.feedUrl) + " is malformed: " + error);
        return;
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    if (!guard.admit(options.feedUrl, fetched.body, feed, now, error)) {
        replyError(request, BackendError::FeedUntrusted, refused + error);
        return;
    }
    const std::list<KSConfigurationItem> requested = payload->getConfigurationItems();
    leaveOutHeld(request, feed, requested);
    boost::shared_ptr<KSManifest> manifest = boost::make_shared<KSManifest>(ks::buildManifest(feed, requested));
    KS_LOG(logger, "BACKEND_CLIENT: Update check: " + std::to_string(manifest->getConfigurationItems().size()) +
                       " of " + std::to_string(requested.size()) + " applications have newer releases");
    reply(request, UpdateManifestType, manifest);
}

void BackendClient::Impl::leaveOutHeld(const boost::shared_ptr<LocalMessage>& request, ks::UpdateFeed& feed,
                                       const std::list<KSConfigurationItem>& requested) {
    if (options.holdListFile.empty()) return;
    const ks::HoldList list(options.holdListFile);
    std::set<ks::HeldRelease> held;
    std::string error;
    if (list.load(held, error) == ks::HoldList::Load::Unreadable) {
        KS_LOG(logger, "BACKEND_CLIENT: The hold list cannot be used (" + error + "); it is taken as empty");
        return;
    }
    const std::set<ks::HeldRelease> dropped = ks::dropHeldReleases(feed, held);
    for (const KSConfigurationItem& item : requested) {
        const std::string application = item.getId().getValue();
        const uint32_t installed = static_cast<uint32_t>(item.getNumber());
        for (const ks::HeldRelease& release : dropped) {
            if (release.first != application || release.second <= installed) continue;
            const std::string text = "version " + std::to_string(release.second) + " of " + application +
                                     " is on hold and not offered (kestrup-host hold clear " + application + " " +
                                     std::to_string(release.second) + " offers it again)";
            KS_LOG(logger, "BACKEND_CLIENT: Update check: " + text);
            CommonMessageProperties properties;
            properties.messageType = UpdateHeldType;
            properties.targetTopic = NoticeTopic;
            properties.sessionId = request->getSessionId();
            boost::shared_ptr<LocalMessage> notice = boost::make_shared<LocalMessage>(properties);
            notice->setPayload(boost::make_shared<StatusReportPayload>(0, text));
            bus->post(notice);
        }
    }
}

void BackendClient::Impl::reportInstalled(const boost::shared_ptr<LocalMessage>& request, ks::CurlCancel& cancel) {
    boost::shared_ptr<ServiceOfferingEntity> entity =
        boost::dynamic_pointer_cast<ServiceOfferingEntity>(request->getPayload());
    if (!entity) return;  // checked on delivery
    const ks::FetchResult posted = ks::postText(options.reportUrl, installedReport(*entity, request),
                                                "application/xml", network, options.requestTimeoutSeconds, cancel);
    if (cancel.cancelled()) return;
    if (posted.ok) {
        KS_LOG(logger, "BACKEND_CLIENT: Reported version " + std::to_string(entity->getVersionNumber()) + " of " +
                           entity->getApplicationId().getValue() + " to " + ks::redactUrl(options.reportUrl));
    } else {
        KS_LOG(logger, "BACKEND_CLIENT: Could not report the installed version to " +
                           ks::redactUrl(options.reportUrl) + ": " + posted.error);
    }
}

BackendClient::BackendClient(const BackendClientOptions& options, MessageDispatcher* bus, Logger* logger)
    : m_impl(new Impl(options, bus, logger)) {}

BackendClient::~BackendClient() {
    stop();
    m_impl->bus->unsubscribe(this, "");
}

const BackendClientOptions& BackendClient::options() const { return m_impl->options; }

bool BackendClient::isRunning() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running;
}

bool BackendClient::start() {
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (m_impl->running) return true;
        m_impl->running = true;
        m_impl->stopping = false;
    }
    ks::ensureCurlGlobalInit();
    m_impl->worker = std::thread([this] { m_impl->workerLoop(); });
    if (m_impl->bus->subscribe(this, Topic) != 0) {
        KS_LOG(m_impl->logger, std::string("BACKEND_CLIENT: Could not subscribe to ") + Topic);
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            m_impl->stopping = true;
            m_impl->wake.notify_all();
        }
        m_impl->worker.join();
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->running = false;
        m_impl->stopping = false;
        return false;
    }
    KS_LOG(m_impl->logger, "BACKEND_CLIENT: Serving " + std::string(Topic) + " from feed " +
                               (m_impl->options.feedUrl.empty() ? std::string("(none)")
                                                                : ks::redactUrl(m_impl->options.feedUrl)));
    return true;
}

void BackendClient::stop() {
    std::lock_guard<std::mutex> lifecycle(m_impl->lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (!m_impl->running) return;
    }
    m_impl->bus->unsubscribe(this, "");
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
        m_impl->queue.clear();
        if (m_impl->current) m_impl->current->cancel(ks::CurlCancel::Stop);
        m_impl->wake.notify_all();
    }
    m_impl->worker.join();
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->current.reset();
    m_impl->running = false;
    m_impl->stopping = false;
}

void BackendClient::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    const std::string& type = message->getMessageType();
    if (type == UpdateInstalledType) {
        boost::shared_ptr<ServiceOfferingEntity> entity =
            boost::dynamic_pointer_cast<ServiceOfferingEntity>(message->getPayload());
        if (!entity) {
            KS_LOG(m_impl->logger, "BACKEND_CLIENT: UpdateInstalled without a ServiceOfferingEntity payload");
            return;
        }
        KS_LOG(m_impl->logger, "BACKEND_CLIENT: Application " + entity->getApplicationId().getValue() +
                                   " now runs version " + std::to_string(entity->getVersionNumber()));
        if (m_impl->options.reportUrl.empty()) return;
    } else if (type != CheckForUpdatesType) {
        return;
    }
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        if (!m_impl->running || m_impl->stopping) return;
        if (m_impl->queue.size() >= m_impl->options.maxQueuedRequests) {
            full = true;
        } else {
            m_impl->queue.push_back(message);
            m_impl->wake.notify_one();
        }
    }
    if (!full) return;
    if (type == CheckForUpdatesType) {
        m_impl->replyError(message, BackendError::Busy, "too many update checks are waiting");
    } else {
        KS_LOG(m_impl->logger, "BACKEND_CLIENT: Too many requests waiting; the installed version is not reported");
    }
}

bool postHealthReport(const BackendClientOptions& options, const ReleaseHealthReport& report, std::string& error) {
    pugi::xml_document document;
    pugi::xml_node node = document.append_child("updateHealth");
    node.append_attribute("applicationId") = report.applicationId.c_str();
    node.append_attribute("version") = std::to_string(report.version).c_str();
    node.append_attribute("previousVersion") = std::to_string(report.previousVersion).c_str();
    node.append_attribute("outcome") = report.outcome.c_str();
    if (report.outcome == "failed") node.append_attribute("exitCode") = report.exitCode;
    node.append_attribute("rollback") = report.rollback.c_str();
    if (report.rollback == "done" || report.rollback == "failed") {
        node.append_attribute("rollbackExitCode") = report.rollbackExitCode;
    }
    std::ostringstream body;
    document.save(body, "", pugi::format_raw);

    ks::ensureCurlGlobalInit();
    ks::NetworkSettings network;
    network.proxyUrl = options.proxyUrl;
    network.noProxy = options.noProxy;
    network.caInfo = options.caInfo;
    network.userAgent = options.userAgent;
    network.connectTimeoutSeconds = options.connectTimeoutSeconds;
    ks::CurlCancel never;
    const ks::FetchResult posted =
        ks::postText(options.reportUrl, body.str(), "application/xml", network, options.requestTimeoutSeconds, never);
    if (!posted.ok) error = "cannot report to " + ks::redactUrl(options.reportUrl) + ": " + posted.error;
    return posted.ok;
}
