#include "persistence/PersistentManager.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "KeyValueSchemaImpl.h"
#include "host/CorvanePath.h"

namespace fs = std::filesystem;

namespace {

const char* const kDefaultStoreFolder = "%USER_DATA%/Corvane/Brenmark/";

std::mutex g_storeFolderMutex;
std::string g_storeFolder;  // guarded by g_storeFolderMutex; empty: the default

std::string escapeDomainId(const std::string& domainId) {
    static const char* const hex = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : domainId) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '_' || c == '.';
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 0x0F];
        }
    }
    return escaped;
}

std::string storeFileName(const std::string& domainId) {
    return domainId.empty() ? "kvstore.sqlite" : "kvstore-" + escapeDomainId(domainId) + ".sqlite";
}

bool parseAutoFlush(const PersistentManager::Properties& properties) {
    auto found = properties.find(KeyValueSchema::AUTO_FLUSH);
    if (found == properties.end() || found->second == KeyValueSchema::ENABLE_PROPERTY) return true;
    if (found->second == KeyValueSchema::DISABLE_PROPERTY) return false;
    throw Schema::_scheme_exception("KeyValueSchema: bad value '" + found->second + "' for the property " +
                                    KeyValueSchema::AUTO_FLUSH);
}

int parseBusyTimeout(const PersistentManager::Properties& properties, int fallback) {
    auto found = properties.find(KeyValueSchema::BUSY_TIMEOUT_MS);
    if (found == properties.end()) return fallback;
    const std::string& text = found->second;
    char* end = nullptr;
    errno = 0;
    const long value = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < 0 || value > INT_MAX)
        throw Schema::_scheme_exception("KeyValueSchema: bad value '" + text + "' for the property " +
                                        KeyValueSchema::BUSY_TIMEOUT_MS);
    return static_cast<int>(value);
}

bool parseMultiValued(const std::string& schemaType) {
    if (schemaType.empty() || schemaType == KeyValueSchema::SINGLE_VALUED) return false;
    if (schemaType == KeyValueSchema::MULTI_VALUED) return true;
    throw Schema::_scheme_exception("KeyValueSchema: unknown schema type '" + schemaType + "'");
}

// Creates the folder when missing and gives its canonical form, so every spelling
// of one folder shares one connection.
std::string prepareFolder(const std::string& folder) {
    if (folder.empty()) throw Schema::_scheme_exception("KeyValueSchema: no store folder (cannot resolve it)");
    std::error_code ec;
    const fs::path path = fs::u8path(folder);
    fs::create_directories(path, ec);
    if (!ec && !fs::is_directory(path, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) throw Schema::_scheme_exception("KeyValueSchema cannot create the store folder " + folder + ": " + ec.message());
    const fs::path canonical = fs::canonical(path, ec);
    if (ec) throw Schema::_scheme_exception("KeyValueSchema cannot resolve the store folder " + folder + ": " + ec.message());
    return canonical.u8string();
}

}  // namespace

PersistentManager::PersistentManager() = default;

PersistentManager::PersistentManager(const std::string& storeFolder) : m_storeFolder(storeFolder) {}

KeyValueSchema PersistentManager::initLocal(const std::string& schemaName, const std::string& domainId,
                                            const std::string& user, const std::string& schemaType,
                                            const Properties& properties) {
    if (schemaName.empty()) throw Schema::_scheme_exception("KeyValueSchema: the schema name is empty");
    KeyValueSchema::Impl::Settings settings;
    settings.schemaName = schemaName;
    settings.domainId = domainId;
    settings.owner = user;
    settings.multiValued = parseMultiValued(schemaType);
    settings.autoFlush = parseAutoFlush(properties);
    settings.busyTimeoutMs = parseBusyTimeout(properties, settings.busyTimeoutMs);

    const std::string folder = prepareFolder(getStoreFolder());
    const std::string file = (fs::u8path(folder) / storeFileName(domainId)).u8string();
    auto connection = kvstore::SqliteConnection::acquire(file);
    return KeyValueSchema(std::make_shared<KeyValueSchema::Impl>(std::move(connection), settings));
}

std::string PersistentManager::getStoreFolder() const {
    return m_storeFolder.empty() ? storeFolder() : m_storeFolder;
}

std::string PersistentManager::storeFile(const std::string& domainId) const {
    return (fs::u8path(getStoreFolder()) / storeFileName(domainId)).u8string();
}

void PersistentManager::setStoreFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_storeFolderMutex);
    g_storeFolder = folder;
}

std::string PersistentManager::storeFolder() {
    {
        std::lock_guard<std::mutex> lock(g_storeFolderMutex);
        if (!g_storeFolder.empty()) return g_storeFolder;
    }
    return CorvanePath(kDefaultStoreFolder).getCanonicalPath();
}
