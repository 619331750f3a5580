#include "payloads/RequestPayloads.h"

// --- StartRequestPayload ------------------------------------------------------

StartRequestPayload::StartRequestPayload() : m_useAuthData(false) {}

StartRequestPayload::StartRequestPayload(const std::string& url, const std::string& userName,
                                         const std::string& password, const std::string& destinationFolder,
                                         bool useAuthData, const std::string& fileHash)
    : m_url(url),
      m_userName(userName),
      m_password(password),
      m_destinationFolder(destinationFolder),
      m_useAuthData(useAuthData),
      m_fileHash(fileHash) {}

StartRequestPayload::~StartRequestPayload() = default;
std::string StartRequestPayload::getSerializableType() const { return "StartRequest"; }
std::string StartRequestPayload::getUrl() const { return m_url; }
void StartRequestPayload::setUrl(const std::string& value) { m_url = value; }
std::string StartRequestPayload::getUserName() const { return m_userName; }
void StartRequestPayload::setUserName(const std::string& value) { m_userName = value; }
std::string StartRequestPayload::getPassword() const { return m_password; }
void StartRequestPayload::setPassword(const std::string& value) { m_password = value; }
std::string StartRequestPayload::getDestinationFolder() const { return m_destinationFolder; }
void StartRequestPayload::setDestinationFolder(const std::string& value) { m_destinationFolder = value; }
bool StartRequestPayload::getUseAuthData() const { return m_useAuthData; }
void StartRequestPayload::setUseAuthData(bool value) { m_useAuthData = value; }
std::string StartRequestPayload::getFileHash() const { return m_fileHash; }
void StartRequestPayload::setFileHash(const std::string& value) { m_fileHash = value; }

// --- ProcessStartInfo ---------------------------------------------------------

ProcessStartInfo::ProcessStartInfo(const std::string& fileName, const std::string& arguments,
                                   bool waitProcessFinish)
    : m_fileName(fileName), m_arguments(arguments), m_waitProcessFinish(waitProcessFinish) {}

ProcessStartInfo::~ProcessStartInfo() = default;
std::string ProcessStartInfo::getSerializableType() const { return "ProcessStartInfo"; }
std::string ProcessStartInfo::getFileName() const { return m_fileName; }
std::string ProcessStartInfo::getArguments() const { return m_arguments; }
bool ProcessStartInfo::getWaitProcessFinish() const { return m_waitProcessFinish; }

// --- ServiceOfferingEntity ----------------------------------------------------

ServiceOfferingEntity::ServiceOfferingEntity() : m_versionNumber(0) {}

ServiceOfferingEntity::ServiceOfferingEntity(const UUId& applicationId, uint32_t versionNumber)
    : m_applicationId(applicationId), m_versionNumber(versionNumber) {}

ServiceOfferingEntity::~ServiceOfferingEntity() = default;
std::string ServiceOfferingEntity::getSerializableType() const { return "ServiceOffering"; }
const UUId& ServiceOfferingEntity::getApplicationId() const { return m_applicationId; }
uint32_t ServiceOfferingEntity::getVersionNumber() const { return m_versionNumber; }
void ServiceOfferingEntity::setApplicationId(const UUId& id) { m_applicationId = id; }
void ServiceOfferingEntity::setVersionNumber(uint32_t version) { m_versionNumber = version; }

bool ServiceOfferingEntity::operator==(const ServiceOfferingEntity& other) const {
    return m_applicationId == other.m_applicationId && m_versionNumber == other.m_versionNumber;
}
