#pragma once
#include <map>
#include <string>

#include "Export.h"
#include "persistence/KeyValueSchema.h"
#include "persistence/Schema.h"

// Opens key-value schemas in the local store: one SQLite file per domain id in the
// store folder, one table per schema (see KeyValueSchema for durability, errors
// and threads).
//
// The store folder is the one given to the constructor, else the process-wide
// setting (setStoreFolder), else the per-user data folder
// "%USER_DATA%/Corvane/Brenmark/". It is resolved at each initLocal call and
// created when missing.
class KESTRUP_PERSISTENCE_API PersistentManager {
public:
    typedef std::map<std::string, std::string> Properties;

    // Uses the process-wide store folder.
    PersistentManager();
    // Uses `storeFolder` (an empty text means the process-wide folder).
    explicit PersistentManager(const std::string& storeFolder);

    // Opens a new session on the table `schemaName` of the domain's store file,
    // creating file and table when missing.
    //   user:       a partition of the schema: each user id has its own table; ""
    //               is the shared one.
    //   schemaType: KeyValueSchema::SINGLE_VALUED (or "") or MULTI_VALUED.
    //   properties: AUTO_FLUSH -> ENABLE_PROPERTY (default) / DISABLE_PROPERTY;
    //               BUSY_TIMEOUT_MS -> milliseconds. Other names are ignored.
    // Throws Schema::_scheme_exception for an empty schema name, a bad schema type
    // or property value, a store folder that cannot be created, and a store file
    // that cannot be opened or is not a database (with SQLite's message).
    KeyValueSchema initLocal(const std::string& schemaName, const std::string& domainId,
                             const std::string& user, const std::string& schemaType,
                             const Properties& properties);

    // The store folder initLocal would use now (empty when it cannot be resolved).
    std::string getStoreFolder() const;
    // The store file of a domain in that folder. Any domain id is allowed: characters
    // other than letters, digits, '-', '_' and '.' are escaped, so the file always
    // lies directly in the store folder.
    std::string storeFile(const std::string& domainId) const;

    // The process-wide store folder; an empty text restores the default. Affects
    // later initLocal calls only. Thread-safe.
    static void setStoreFolder(const std::string& folder);
    static std::string storeFolder();

private:
    std::string m_storeFolder;  // empty: the process-wide folder; set once
};
