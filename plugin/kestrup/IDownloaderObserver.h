#pragma once
#include <string>

#include "bus/UUId.h"

// Outcome codes of one download session, as reported by DownloaderProxy.
enum DownloadEventCode {
    DownloadFinished = 0,       // text: the downloaded file's path
    DownloadAborted = 1,
    DownloadFailed = 2,
    DownloadFailedCode274 = 3   // the last mirror failed with the service's code 274
};

// Receives the final outcome of a download (never the per-mirror failures).
class IDownloaderObserver {
public:
    virtual void onDownloadEvent(int code, std::string text) = 0;
    virtual ~IDownloaderObserver() {}
    // The same outcome with the session it belongs to; the proxy reports through this
    // one. An observer that does not care about the session gets onDownloadEvent.
    virtual void onSessionDownloadEvent(int code, const std::string& text, const UUId& sessionId) {
        (void)sessionId;
        onDownloadEvent(code, text);
    }
};
