#include "payloads/Manifest.h"

// --- KSMirror -----------------------------------------------------------------

KSMirror::KSMirror() = default;

KSMirror::KSMirror(const std::string& url, const std::string& eulaUrl) : m_url(url), m_eulaUrl(eulaUrl) {}

KSMirror::~KSMirror() = default;

std::string KSMirror::getUrl() const { return m_url; }
void KSMirror::setUrl(const std::string& url) { m_url = url; }
std::string KSMirror::getEulaUrl() const { return m_eulaUrl; }
void KSMirror::setEulaUrl(const std::string& eulaUrl) { m_eulaUrl = eulaUrl; }

bool KSMirror::operator==(const KSMirror& other) const {
    return m_url == other.m_url && m_eulaUrl == other.m_eulaUrl;
}

// --- KSEula -------------------------------------------------------------------

KSEula::KSEula() : m_id(0) {}

KSEula::KSEula(int32_t id, const std::string& language, const std::string& title, const std::string& text)
    : m_id(id), m_language(language), m_title(title), m_text(text) {}

KSEula::KSEula(const KSEula&) = default;
KSEula& KSEula::operator=(const KSEula&) = default;
KSEula::~KSEula() = default;

int32_t KSEula::getId() const { return m_id; }
std::string KSEula::getLanguage() const { return m_language; }
std::string KSEula::getTitle() const { return m_title; }
std::string KSEula::getText() const { return m_text; }

// --- KSOSInfo -----------------------------------------------------------------

KSOSInfo::KSOSInfo() = default;

KSOSInfo::KSOSInfo(const boost::optional<int32_t>& architecture, const boost::optional<std::string>& name)
    : m_architecture(architecture), m_name(name) {}

KSOSInfo::KSOSInfo(const KSOSInfo&) = default;
KSOSInfo& KSOSInfo::operator=(const KSOSInfo&) = default;
KSOSInfo::~KSOSInfo() = default;

boost::optional<int32_t> KSOSInfo::getArchitecture() const { return m_architecture; }
boost::optional<std::string> KSOSInfo::getName() const { return m_name; }

// --- KSPlatform ---------------------------------------------------------------

KSPlatform::KSPlatform() = default;
KSPlatform::~KSPlatform() = default;

KSPlatform::Values KSPlatform::getValues() const { return m_values ? *m_values : Values(); }
void KSPlatform::setValues(const Values& values) { m_values = values; }
bool KSPlatform::hasValues() const { return static_cast<bool>(m_values); }

// --- KSFile -------------------------------------------------------------------

KSFile::KSFile() = default;
KSFile::~KSFile() = default;

std::string KSFile::getSerializableType() const { return "file"; }

std::string KSFile::getArguments() const { return m_arguments; }
void KSFile::setArguments(const std::string& arguments) { m_arguments = arguments; }
std::string KSFile::getDigest() const { return m_digest; }
void KSFile::setDigest(const std::string& digest) { m_digest = digest; }
std::list<KSMirror> KSFile::getMirrors() const { return m_mirrors; }
void KSFile::setMirrors(const std::list<KSMirror>& mirrors) { m_mirrors = mirrors; }

bool KSFile::operator==(const KSFile& other) const {
    return m_arguments == other.m_arguments && m_digest == other.m_digest && m_mirrors == other.m_mirrors;
}

bool KSFile::operator!=(const KSFile& other) const { return !(*this == other); }

// --- KSDeliverable ------------------------------------------------------------

KSDeliverable::KSDeliverable() : m_firstNumber(0), m_secondNumber(0) {}
KSDeliverable::~KSDeliverable() = default;

std::string KSDeliverable::getName() const { return m_name; }
void KSDeliverable::setName(const std::string& name) { m_name = name; }
int32_t KSDeliverable::getFirstNumber() const { return m_firstNumber; }
void KSDeliverable::setFirstNumber(int32_t value) { m_firstNumber = value; }
int32_t KSDeliverable::getSecondNumber() const { return m_secondNumber; }
void KSDeliverable::setSecondNumber(int32_t value) { m_secondNumber = value; }
KSOSInfo KSDeliverable::getOSInfo() const { return m_osInfo; }
void KSDeliverable::setOSInfo(const KSOSInfo& info) { m_osInfo = info; }
KSPlatform KSDeliverable::getPlatform() const { return m_platform; }
void KSDeliverable::setPlatform(const KSPlatform& platform) { m_platform = platform; }
const std::list<KSFile>& KSDeliverable::getFiles() const { return m_files; }
void KSDeliverable::setFiles(const std::list<KSFile>& files) { m_files = files; }
std::list<KSEula> KSDeliverable::getEULAs() const { return m_eulas; }
void KSDeliverable::setEULAs(const std::list<KSEula>& eulas) { m_eulas = eulas; }

// --- KSConfigurationItem ------------------------------------------------------

KSConfigurationItem::KSConfigurationItem() : m_number(0) {}

KSConfigurationItem::KSConfigurationItem(const UUId& id, int32_t number) : m_id(id), m_number(number) {}

KSConfigurationItem::~KSConfigurationItem() = default;

std::string KSConfigurationItem::getSerializableType() const { return "configurationItem"; }

const UUId& KSConfigurationItem::getId() const { return m_id; }
void KSConfigurationItem::setId(const UUId& id) { m_id = id; }
int32_t KSConfigurationItem::getNumber() const { return m_number; }
void KSConfigurationItem::setNumber(int32_t number) { m_number = number; }

std::string KSConfigurationItem::getVersionlabel() const { return m_versionLabel ? *m_versionLabel : std::string(); }
void KSConfigurationItem::setVersionlabel(const std::string& label) { m_versionLabel = label; }
bool KSConfigurationItem::hasVersionlabel() const { return static_cast<bool>(m_versionLabel); }

const std::list<KSDeliverable>& KSConfigurationItem::getDeliverables() const {
    // Absent deliverables read as an empty list; a function-local static is
    // initialised once, thread-safely, and never changes.
    static const std::list<KSDeliverable> kNoDeliverables;
    return m_deliverables ? *m_deliverables : kNoDeliverables;
}

void KSConfigurationItem::setDeliverables(const std::list<KSDeliverable>& deliverables) {
    m_deliverables = deliverables;
}

bool KSConfigurationItem::hasDeliverables() const { return static_cast<bool>(m_deliverables); }

// --- KSManifest / KSRequest ---------------------------------------------------

KSManifest::KSManifest() = default;
KSManifest::~KSManifest() = default;
std::string KSManifest::getSerializableType() const { return "updateManifest"; }
std::list<KSConfigurationItem> KSManifest::getConfigurationItems() const { return m_configurationItems; }
void KSManifest::setConfigurationItems(const std::list<KSConfigurationItem>& items) { m_configurationItems = items; }

KSRequest::KSRequest() = default;
KSRequest::~KSRequest() = default;
std::string KSRequest::getSerializableType() const { return "updateRequest"; }
std::list<KSConfigurationItem> KSRequest::getConfigurationItems() const { return m_configurationItems; }
void KSRequest::setConfigurationItems(const std::list<KSConfigurationItem>& items) { m_configurationItems = items; }
