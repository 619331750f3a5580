#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include <boost/optional.hpp>

#include "Export.h"
#include "bus/UUId.h"
#include "payloads/ISerializable.h"

// The update manifest model:
// KSManifest -> KSConfigurationItem -> KSDeliverable -> KSFile -> KSMirror.

class KESTRUP_PAYLOADS_API KSMirror {
public:
    KSMirror();
    KSMirror(const std::string& url, const std::string& eulaUrl);
    virtual ~KSMirror();
    std::string getUrl() const;
    void setUrl(const std::string& url);
    std::string getEulaUrl() const;
    void setEulaUrl(const std::string& eulaUrl);
    bool operator==(const KSMirror& other) const;

private:
    std::string m_url;
    std::string m_eulaUrl;
};

class KESTRUP_PAYLOADS_API KSEula {
public:
    KSEula();
    KSEula(int32_t id, const std::string& language, const std::string& title, const std::string& text);
    KSEula(const KSEula&);
    KSEula& operator=(const KSEula&);
    virtual ~KSEula();
    int32_t getId() const;
    std::string getLanguage() const;
    std::string getTitle() const;
    std::string getText() const;

private:
    int32_t m_id;
    std::string m_language;
    std::string m_title;
    std::string m_text;
};

class KESTRUP_PAYLOADS_API KSOSInfo {
public:
    KSOSInfo();
    KSOSInfo(const boost::optional<int32_t>& architecture, const boost::optional<std::string>& name);
    KSOSInfo(const KSOSInfo&);
    KSOSInfo& operator=(const KSOSInfo&);
    virtual ~KSOSInfo();
    boost::optional<int32_t> getArchitecture() const;
    boost::optional<std::string> getName() const;

private:
    boost::optional<int32_t> m_architecture;
    boost::optional<std::string> m_name;
};

class KESTRUP_PAYLOADS_API KSPlatform {
public:
    typedef std::multimap<std::string, std::string> Values;
    KSPlatform();
    virtual ~KSPlatform();
    // Empty when the values are absent.
    Values getValues() const;
    void setValues(const Values& values);
    bool hasValues() const;

private:
    boost::optional<Values> m_values;
};

class KESTRUP_PAYLOADS_API KSFile : public ISerializable {
public:
    KSFile();
    ~KSFile() override;
    std::string getSerializableType() const override;  // "file"

    std::string getArguments() const;
    void setArguments(const std::string& arguments);
    std::string getDigest() const;
    void setDigest(const std::string& digest);
    std::list<KSMirror> getMirrors() const;
    void setMirrors(const std::list<KSMirror>& mirrors);
    // Compares arguments, digest and mirrors (in order).
    bool operator==(const KSFile& other) const;
    bool operator!=(const KSFile& other) const;

private:
    std::string m_arguments;
    std::string m_digest;
    std::list<KSMirror> m_mirrors;
};

class KESTRUP_PAYLOADS_API KSDeliverable {
public:
    KSDeliverable();
    virtual ~KSDeliverable();
    std::string getName() const;
    void setName(const std::string& name);
    int32_t getFirstNumber() const;
    void setFirstNumber(int32_t value);
    int32_t getSecondNumber() const;
    void setSecondNumber(int32_t value);
    KSOSInfo getOSInfo() const;
    void setOSInfo(const KSOSInfo& info);
    KSPlatform getPlatform() const;
    void setPlatform(const KSPlatform& platform);
    const std::list<KSFile>& getFiles() const;
    void setFiles(const std::list<KSFile>& files);
    std::list<KSEula> getEULAs() const;
    void setEULAs(const std::list<KSEula>& eulas);

private:
    std::string m_name;
    int32_t m_firstNumber;
    int32_t m_secondNumber;
    KSOSInfo m_osInfo;
    KSPlatform m_platform;
    std::list<KSFile> m_files;
    std::list<KSEula> m_eulas;
};

class KESTRUP_PAYLOADS_API KSConfigurationItem : public ISerializable {
public:
    KSConfigurationItem();
    KSConfigurationItem(const UUId& id, int32_t number);
    ~KSConfigurationItem() override;
    std::string getSerializableType() const override;  // "configurationItem"

    const UUId& getId() const;
    void setId(const UUId& id);
    int32_t getNumber() const;
    void setNumber(int32_t number);
    // "" when the label is absent.
    std::string getVersionlabel() const;
    void setVersionlabel(const std::string& label);
    bool hasVersionlabel() const;
    // An empty list when the deliverables are absent.
    const std::list<KSDeliverable>& getDeliverables() const;
    void setDeliverables(const std::list<KSDeliverable>& deliverables);
    bool hasDeliverables() const;

private:
    UUId m_id;
    int32_t m_number;
    boost::optional<std::string> m_versionLabel;
    boost::optional<std::list<KSDeliverable> > m_deliverables;
};

class KESTRUP_PAYLOADS_API KSManifest : public ISerializable {
public:
    KSManifest();
    ~KSManifest() override;
    std::string getSerializableType() const override;  // "updateManifest"
    std::list<KSConfigurationItem> getConfigurationItems() const;
    void setConfigurationItems(const std::list<KSConfigurationItem>& items);

private:
    std::list<KSConfigurationItem> m_configurationItems;
};

// The update-check request built by KestrupUtility::createCheckForUpdatesPayloadLP.
class KESTRUP_PAYLOADS_API KSRequest : public ISerializable {
public:
    KSRequest();
    ~KSRequest() override;
    std::string getSerializableType() const override;  // "updateRequest"
    std::list<KSConfigurationItem> getConfigurationItems() const;
    void setConfigurationItems(const std::list<KSConfigurationItem>& items);

private:
    std::list<KSConfigurationItem> m_configurationItems;
};

// The stored form of a KSFile: root "ksFile" with the children "arguments",
// "digest" and one "mirrors__mirror" per mirror in list order, each holding
// "eulaUrl" then "url".
KESTRUP_PAYLOADS_API std::string storeKSFile(const KSFile& file);
// Reads the stored form into `file` through its setters. Returns false (and leaves
// `file` alone) for text that is not that form; never throws.
KESTRUP_PAYLOADS_API bool loadKSFile(const std::string& text, KSFile& file);
