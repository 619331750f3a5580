// The registry of installed applications, kept in an XML file.
#include "host/ServiceOfferingManager.h"

#include <atomic>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "bus/UUId.h"
#include "payloads/RequestPayloads.h"
#include "platform/DurableFile.h"

namespace {

const char* const kRootElement = "serviceOfferings";
const char* const kEntryElement = "serviceOffering";
const char* const kIdAttribute = "id";
const char* const kVersionAttribute = "version";

std::atomic<ServiceOfferingManager*> g_instance{nullptr};

// Serialises the read-modify-write of setServiceOfferingEntity across every
// manager of the process, so two managers of one file cannot lose an update.
std::mutex g_writeMutex;

// Strict decimal unsigned 32-bit number: digits only, no sign, no blanks.
bool parseVersion(const char* text, uint32_t& version) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > std::numeric_limits<uint32_t>::max()) {
            return false;
        }
    }
    version = static_cast<uint32_t>(value);
    return true;
}

// The parsed registry: the document (kept for rewriting) and its entries.
struct Registry {
    pugi::xml_document document;
    std::vector<std::pair<pugi::xml_node, ServiceOfferingEntity> > entries;
};

ServiceOfferingManager::Error loadRegistry(const std::string& path, Registry& registry) {
    std::string content;
    if (!platform::readWholeFile(path, content)) {
        return ServiceOfferingManager::StoreUnreadable;
    }
    // An empty or truncated file (an installer in the middle of writing it)
    // fails to parse and counts as malformed.
    // Fragment mode keeps stray text outside the root as nodes, so it is refused
    // below instead of being dropped silently.
    const pugi::xml_parse_result parsed = registry.document.load_buffer(
        content.data(), content.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!parsed) {
        return ServiceOfferingManager::StoreMalformed;
    }
    // Exactly one top-level element, and it is the registry.
    pugi::xml_node root;
    for (pugi::xml_node node = registry.document.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata ||
            (node.type() == pugi::node_element && root)) {  // stray text, or a second root
            return ServiceOfferingManager::StoreMalformed;
        }
        if (node.type() == pugi::node_element) {
            root = node;
        }
    }
    if (!root || std::string(kRootElement) != root.name()) {
        return ServiceOfferingManager::StoreMalformed;
    }
    for (pugi::xml_node node = root.child(kEntryElement); node; node = node.next_sibling(kEntryElement)) {
        const std::string id = node.attribute(kIdAttribute).value();
        uint32_t version = 0;
        if (!UUId::checkValid(id) || !parseVersion(node.attribute(kVersionAttribute).value(), version)) {
            return ServiceOfferingManager::StoreMalformed;
        }
        registry.entries.emplace_back(node, ServiceOfferingEntity(UUId(id), version));
    }
    return ServiceOfferingManager::Ok;
}

class StringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
    std::string text;
};

}  // namespace

ServiceOfferingManager::ServiceOfferingManager(const std::string& registryFile) : m_registryFile(registryFile) {}

ServiceOfferingManager::~ServiceOfferingManager() = default;

ServiceOfferingManager::Error ServiceOfferingManager::getServiceOfferingEntity(const UUId& applicationId,
                                                                               ServiceOfferingEntity& entity) {
    Registry registry;
    const Error loaded = loadRegistry(m_registryFile, registry);
    if (loaded != Ok) {
        return loaded;
    }
    for (const auto& entry : registry.entries) {
        if (entry.second.getApplicationId() == applicationId) {
            entity.setApplicationId(entry.second.getApplicationId());
            entity.setVersionNumber(entry.second.getVersionNumber());
            return Ok;
        }
    }
    return NotFound;
}

std::list<ServiceOfferingEntity> ServiceOfferingManager::getServiceOfferingEntities() {
    std::list<ServiceOfferingEntity> entities;
    Registry registry;
    if (loadRegistry(m_registryFile, registry) == Ok) {
        for (const auto& entry : registry.entries) {
            entities.push_back(entry.second);
        }
    }
    return entities;
}

ServiceOfferingManager::Error ServiceOfferingManager::setServiceOfferingEntity(const ServiceOfferingEntity& entity) {
    std::lock_guard<std::mutex> lock(g_writeMutex);

    Registry registry;
    const Error loaded = loadRegistry(m_registryFile, registry);
    if (loaded == StoreMalformed) {
        return loaded;
    }
    if (loaded == StoreUnreadable) {
        // Missing (or unreadable) file: start a new registry. If the file exists
        // but cannot be read, the rename below replaces it with a readable one.
        registry.document.reset();
        registry.document.append_child(kRootElement);
        registry.entries.clear();
    }

    const std::string id = entity.getApplicationId().getValue();
    const std::string version = std::to_string(entity.getVersionNumber());
    pugi::xml_node root = registry.document.document_element();
    bool replaced = false;
    for (auto& entry : registry.entries) {
        if (entry.second.getApplicationId() != entity.getApplicationId()) {
            continue;
        }
        if (replaced) {
            root.remove_child(entry.first);  // a duplicate of the one just replaced
        } else {
            entry.first.attribute(kIdAttribute).set_value(id.c_str());
            entry.first.attribute(kVersionAttribute).set_value(version.c_str());
            replaced = true;
        }
    }
    if (!replaced) {
        pugi::xml_node node = root.append_child(kEntryElement);
        node.append_attribute(kIdAttribute) = id.c_str();
        node.append_attribute(kVersionAttribute) = version.c_str();
    }

    StringWriter writer;
    registry.document.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    return platform::replaceFileDurably(m_registryFile, writer.text) ? Ok : StoreUnwritable;
}

const std::string& ServiceOfferingManager::registryFile() const { return m_registryFile; }

const char* ServiceOfferingManager::errorText(Error error) {
    switch (error) {
    case Ok:
        return "found";
    case NotFound:
        return "not found";
    case StoreUnreadable:
        return "registry file missing or unreadable";
    case StoreMalformed:
        return "registry file malformed";
    case StoreUnwritable:
        return "registry file could not be written";
    }
    return "unknown registry error";
}

template <>
ServiceOfferingManager* Singleton<ServiceOfferingManager>::instance() {
    return g_instance.load();
}

template <>
void Singleton<ServiceOfferingManager>::install(ServiceOfferingManager* instance) {
    g_instance.store(instance);
}
