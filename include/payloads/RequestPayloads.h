#pragma once
#include <cstdint>
#include <string>

#include "Export.h"
#include "bus/UUId.h"
#include "payloads/ISerializable.h"

// A request to the host download service to fetch one file.
class KESTRUP_PAYLOADS_API StartRequestPayload : public ISerializable {
public:
    StartRequestPayload();
    StartRequestPayload(const std::string& url, const std::string& userName, const std::string& password,
                        const std::string& destinationFolder, bool useAuthData, const std::string& fileHash);
    ~StartRequestPayload() override;
    std::string getSerializableType() const override;  // "StartRequest"
    std::string getUrl() const;
    void setUrl(const std::string& value);
    std::string getUserName() const;
    void setUserName(const std::string& value);
    std::string getPassword() const;
    void setPassword(const std::string& value);
    std::string getDestinationFolder() const;
    void setDestinationFolder(const std::string& value);
    bool getUseAuthData() const;
    void setUseAuthData(bool value);
    std::string getFileHash() const;
    void setFileHash(const std::string& value);

private:
    std::string m_url;
    std::string m_userName;
    std::string m_password;
    std::string m_destinationFolder;
    bool m_useAuthData;
    std::string m_fileHash;
};

// What the installer launcher is to start.
class KESTRUP_PAYLOADS_API ProcessStartInfo : public ISerializable {
public:
    ProcessStartInfo(const std::string& fileName = "", const std::string& arguments = "",
                     bool waitProcessFinish = true);
    ~ProcessStartInfo() override;
    std::string getSerializableType() const override;  // "ProcessStartInfo"
    std::string getFileName() const;
    std::string getArguments() const;
    bool getWaitProcessFinish() const;

private:
    std::string m_fileName;
    std::string m_arguments;
    bool m_waitProcessFinish;
};

// Identifies an installed application: application id and version number.
class KESTRUP_PAYLOADS_API ServiceOfferingEntity : public ISerializable {
public:
    ServiceOfferingEntity();
    ServiceOfferingEntity(const UUId& applicationId, uint32_t versionNumber);
    ~ServiceOfferingEntity() override;
    std::string getSerializableType() const override;  // "ServiceOffering"
    const UUId& getApplicationId() const;
    uint32_t getVersionNumber() const;
    void setApplicationId(const UUId& id);
    void setVersionNumber(uint32_t version);
    bool operator==(const ServiceOfferingEntity& other) const;

private:
    UUId m_applicationId;
    uint32_t m_versionNumber;
};
