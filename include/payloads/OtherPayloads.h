#pragma once
#include <map>
#include <string>

#include "Export.h"
#include "payloads/ISerializable.h"
#include "payloads/Manifest.h"
#include "payloads/StatusPayloads.h"

class KESTRUP_PAYLOADS_API KeyValuePayload : public ISerializable {
public:
    typedef std::map<std::string, std::string> Dictionary;
    KeyValuePayload();
    explicit KeyValuePayload(const Dictionary& dictionary);
    ~KeyValuePayload() override;
    std::string getSerializableType() const override;  // "KeyValue"
    Dictionary getDictionary() const;
    void setDictionary(const Dictionary& dictionary);

private:
    Dictionary m_dictionary;
};

// Travels under the type name it was given.
class KESTRUP_PAYLOADS_API NamedKeyValuePayload : public ISerializable {
public:
    typedef std::map<std::string, std::string> Dictionary;
    explicit NamedKeyValuePayload(const std::string& name, const Dictionary& dictionary = Dictionary());
    ~NamedKeyValuePayload() override;
    std::string getSerializableType() const override;  // the name
    Dictionary getDictionary() const;
    void setDictionary(const Dictionary& dictionary);
    std::string getName() const;

private:
    std::string m_name;
    Dictionary m_dictionary;
};

class KESTRUP_PAYLOADS_API CIDownloadStatus : public ISerializable {
public:
    CIDownloadStatus();
    ~CIDownloadStatus() override;
    std::string getSerializableType() const override;  // "CIDownloadStatus"
    StatusReportPayload getStatusReport() const;
    void setStatusReport(const StatusReportPayload& report);
    KSConfigurationItem getconfigurationItem() const;
    void setconfigurationItem(const KSConfigurationItem& item);

private:
    StatusReportPayload m_statusReport;
    KSConfigurationItem m_configurationItem;
};

class KESTRUP_PAYLOADS_API ProvisioningRequest : public ISerializable {
public:
    ~ProvisioningRequest() override;
    std::string getSerializableType() const override;  // "provisioningRequest"
};

class KESTRUP_PAYLOADS_API ProvisioningManifest : public ISerializable {
public:
    ~ProvisioningManifest() override;
    std::string getSerializableType() const override;  // "provisioningManifest"
};

class KESTRUP_PAYLOADS_API CrashEventPayload : public ISerializable {
public:
    ~CrashEventPayload() override;
    std::string getSerializableType() const override;  // "CrashEvent"
};
