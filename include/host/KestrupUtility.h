#pragma once
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "Export.h"

class UUId;
class ISerializable;
class ServiceOfferingEntity;

// Host-side helpers the update component calls to talk to the backend.
class KESTRUP_HOSTSERVICES_API KestrupUtility {
public:
    // Topic of the backend.
    static const char* const BackendTopic;        // "event://Backend/Kestrup"
    // Message type that tells the backend an application runs a new version.
    static const char* const UpdateInstalledType; // "UpdateInstalled"

    // Posts "UpdateInstalled" to the backend topic with a ServiceOfferingEntity
    // payload (application id, version), the given session id and user. A refused
    // post is logged.
    static void notifyBackendAboutUpdate(const UUId& applicationId, const int& versionNumber,
                                         const std::string& sessionId, const std::string& user);

    // The payload of a "CheckForUpdates" request: a KSRequest with one
    // KSConfigurationItem per entity (id = application id, number = version number,
    // version label = the version in decimal).
    static boost::shared_ptr<ISerializable>
    createCheckForUpdatesPayloadLP(const std::list<ServiceOfferingEntity>& entities);
};
