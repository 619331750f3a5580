#pragma once
#include <atomic>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "bus/IMessageSink.h"
#include "bus/UUId.h"
#include "payloads/Manifest.h"

class Logger;
class LocalMessage;
class IDownloaderObserver;

// Client of the host download service ("event://Client/Service/Download"). Turns one
// download of a KSFile into "Start" requests, one mirror at a time in list order,
// and reports only the final outcome to its observer.
//
// A request the bus refuses counts as a failure of that request: the proxy reports
// it to itself as a "DownloaderError" of the session, so the failover and the
// owner's retry rules apply as to any other failure.
//
// Threads: the owner calls the public operations from its request threads (and from
// its retry wait), while the bus delivers the service's answers on another thread,
// one at a time. m_mutex guards the download's state; it is never held while
// posting, logging or calling the observer, so it never waits for another lock.
class DownloaderProxy : public IMessageSink {
public:
    static const char* const ServiceTopic;  // "event://Client/Service/Download"
    static const char* const ReplyTopic;    // "event://Client/Kestrup/DownloaderProxy"

    DownloaderProxy();   // subscribes to ReplyTopic
    ~DownloaderProxy() override;  // unsubscribes from every topic

    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    void setDestinationFolder(const std::string& folder);
    void setObserver(IDownloaderObserver* observer);  // not owned; null drops outcomes
    void startDownload(const KSFile& file, const UUId& sessionId);
    void restartDownload();
    void resumeDownload(const KSFile& file, const UUId& sessionId);
    void abortDownload(const UUId& sessionId);
    UUId getSessionId() const;  // the current download's session

private:
    // One "Start", decided under m_mutex and posted after it.
    struct StartRequest {
        std::string url;
        UUId sessionId;
        std::string destinationFolder;
        std::string fileHash;
    };
    // Takes the front mirror off m_remainingMirrors (not empty); m_mutex held.
    StartRequest takeNextMirror();
    void postStart(const StartRequest& start);
    // Whether `sessionId` is the current download's; hands out the observer as well.
    bool isCurrent(const UUId& sessionId, IDownloaderObserver*& observer);
    void onDownloadFinished(const boost::shared_ptr<LocalMessage>& message);
    void onDownloadFailed(const boost::shared_ptr<LocalMessage>& message);
    void onDownloadAborted(const boost::shared_ptr<LocalMessage>& message);
    void notifyObserver(IDownloaderObserver* observer, int code, const std::string& text, const UUId& sessionId);
    // Posts one request; a refused "Start" or "Resume" becomes a failure of its session.
    void postRequest(const std::string& messageType, const UUId& sessionId,
                     const boost::shared_ptr<ISerializable>& payload);
    void reportRefusedPost(const UUId& sessionId);
    bool getStatusCode(const boost::shared_ptr<LocalMessage>& message, int& code);
    bool getStatusMessage(const boost::shared_ptr<LocalMessage>& message, std::string& text);

    Logger* m_logger;
    mutable boost::mutex m_mutex;  // inner lock; guards the five members below
    KSFile m_file;
    std::string m_destinationFolder;
    std::list<KSMirror> m_remainingMirrors;
    UUId m_sessionId;
    // Cleared by the owner's destructor while a delivery of the bus may be reading it.
    std::atomic<IDownloaderObserver*> m_observer;
};
