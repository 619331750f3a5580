#pragma once
#include <list>
#include <string>

#include "Export.h"
#include "bus/Singleton.h"

class UUId;
class ServiceOfferingEntity;

// The registry of installed applications (service offerings): application id and
// version number, kept in an XML file that an installer may rewrite at any time:
//
//   <serviceOfferings>
//     <serviceOffering id="3f0c...-..." version="1"/>
//   </serviceOfferings>
//
// Every lookup reads the file as it is at that moment. Thread-safe.
class KESTRUP_HOSTSERVICES_API ServiceOfferingManager {
public:
    enum Error {
        Ok = 0,
        NotFound = 1,         // the file holds no entry with that id
        StoreUnreadable = 2,  // the file is missing or cannot be read
        StoreMalformed = 3,   // the file is not a registry (bad XML, bad entry)
        StoreUnwritable = 4   // setServiceOfferingEntity could not write the new file
    };

    explicit ServiceOfferingManager(const std::string& registryFile);
    virtual ~ServiceOfferingManager();

    // Fills `entity` (application id, version number) and returns Ok when the
    // registry knows `applicationId`; otherwise leaves `entity` alone.
    virtual Error getServiceOfferingEntity(const UUId& applicationId, ServiceOfferingEntity& entity);
    // Every entry of the file, in file order (empty on any error).
    virtual std::list<ServiceOfferingEntity> getServiceOfferingEntities();
    // Writes or replaces the entry of this id, atomically (temporary file + rename).
    // A missing file is created; a malformed one is left alone (StoreMalformed), so
    // an installer's file is never replaced by a guess. Writers within this process
    // are serialised; readers never see a half-written file.
    virtual Error setServiceOfferingEntity(const ServiceOfferingEntity& entity);

    const std::string& registryFile() const;
    static const char* errorText(Error error);

private:
    std::string m_registryFile;
};

template <>
KESTRUP_HOSTSERVICES_API ServiceOfferingManager* Singleton<ServiceOfferingManager>::instance();
template <>
KESTRUP_HOSTSERVICES_API void Singleton<ServiceOfferingManager>::install(ServiceOfferingManager* instance);
