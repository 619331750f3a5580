// The names the download service and the backend client answer to, in the part
// of the services that the host uses without loading the transfer module.
#include "BackendClient.h"
#include "DownloadService.h"

const char* const DownloadService::Topic = "event://Client/Service/Download";
const char* const DownloadService::ProgressTopicPrefix = "event://Client/Service/Download/Progress/";
const char* const DownloadService::NoDigestDetail = "no-digest";

std::string DownloadService::progressTopic(const UUId& sessionId) {
    return std::string(ProgressTopicPrefix) + sessionId.getValue();
}

const char* const BackendClient::Topic = "event://Backend/Kestrup";
const char* const BackendClient::CheckForUpdatesType = "CheckForUpdates";
const char* const BackendClient::UpdateManifestType = "UpdateManifest";
const char* const BackendClient::FeedErrorType = "UpdateFeedError";
const char* const BackendClient::UpdateInstalledType = "UpdateInstalled";
const char* const BackendClient::NoticeTopic = "event://Backend/Kestrup/Notice";
const char* const BackendClient::UpdateHeldType = "UpdateHeld";
