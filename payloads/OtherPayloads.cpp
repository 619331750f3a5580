#include "payloads/OtherPayloads.h"

// --- KeyValuePayload ----------------------------------------------------------

KeyValuePayload::KeyValuePayload() = default;
KeyValuePayload::KeyValuePayload(const Dictionary& dictionary) : m_dictionary(dictionary) {}
KeyValuePayload::~KeyValuePayload() = default;
std::string KeyValuePayload::getSerializableType() const { return "KeyValue"; }
KeyValuePayload::Dictionary KeyValuePayload::getDictionary() const { return m_dictionary; }
void KeyValuePayload::setDictionary(const Dictionary& dictionary) { m_dictionary = dictionary; }

// --- NamedKeyValuePayload -----------------------------------------------------

NamedKeyValuePayload::NamedKeyValuePayload(const std::string& name, const Dictionary& dictionary)
    : m_name(name), m_dictionary(dictionary) {}
NamedKeyValuePayload::~NamedKeyValuePayload() = default;
std::string NamedKeyValuePayload::getSerializableType() const { return m_name; }
NamedKeyValuePayload::Dictionary NamedKeyValuePayload::getDictionary() const { return m_dictionary; }
void NamedKeyValuePayload::setDictionary(const Dictionary& dictionary) { m_dictionary = dictionary; }
std::string NamedKeyValuePayload::getName() const { return m_name; }

// --- CIDownloadStatus ---------------------------------------------------------

CIDownloadStatus::CIDownloadStatus() = default;
CIDownloadStatus::~CIDownloadStatus() = default;
std::string CIDownloadStatus::getSerializableType() const { return "CIDownloadStatus"; }
StatusReportPayload CIDownloadStatus::getStatusReport() const { return m_statusReport; }
void CIDownloadStatus::setStatusReport(const StatusReportPayload& report) { m_statusReport = report; }
KSConfigurationItem CIDownloadStatus::getconfigurationItem() const { return m_configurationItem; }
void CIDownloadStatus::setconfigurationItem(const KSConfigurationItem& item) { m_configurationItem = item; }

// --- payloads whose content is not settled ------------------------------------

ProvisioningRequest::~ProvisioningRequest() = default;
std::string ProvisioningRequest::getSerializableType() const { return "provisioningRequest"; }

ProvisioningManifest::~ProvisioningManifest() = default;
std::string ProvisioningManifest::getSerializableType() const { return "provisioningManifest"; }

CrashEventPayload::~CrashEventPayload() = default;
std::string CrashEventPayload::getSerializableType() const { return "CrashEvent"; }
