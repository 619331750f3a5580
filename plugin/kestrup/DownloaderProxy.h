#pragma once
#include <atomic>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

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
// Threads: no lock of its own. The owner calls startDownload / resumeDownload /
// abortDownload under its own mutex; the bus delivers the service's answers one at a
// time (deliveries to one sink never overlap). Observer calls run on the delivering
// thread with no lock held here.
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

private:
    void startWithNextMirror();
    void onDownloadFinished(const boost::shared_ptr<LocalMessage>& message);
    void onDownloadFailed(const boost::shared_ptr<LocalMessage>& message);
    void onDownloadAborted(const boost::shared_ptr<LocalMessage>& message);
    void notifyObserver(int code, const std::string& text);
    void postRequest(const std::string& messageType, const UUId& sessionId,
                     const boost::shared_ptr<ISerializable>& payload);
    bool getStatusCode(const boost::shared_ptr<LocalMessage>& message, int& code);
    bool getStatusMessage(const boost::shared_ptr<LocalMessage>& message, std::string& text);

    Logger* m_logger;
    KSFile m_file;
    std::string m_destinationFolder;
    std::list<KSMirror> m_remainingMirrors;
    UUId m_sessionId;
    // Cleared by the owner's destructor while a delivery of the bus may be reading it.
    std::atomic<IDownloaderObserver*> m_observer;
};
