#pragma once
// Internal to the store library: the session behind KeyValueSchema handles.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SqliteConnection.h"
#include "persistence/KeyValueSchema.h"

class KeyValueSchema::Impl {
public:
    struct Settings {
        std::string schemaName;
        std::string domainId;
        std::string owner;  // the user partition; "" is the shared one
        bool multiValued = false;
        bool autoFlush = true;
        int busyTimeoutMs = 5000;
    };

    // Creates the table when missing and prepares the statements. Throws
    // Schema::_scheme_exception with SQLite's message.
    Impl(std::shared_ptr<kvstore::SqliteConnection> connection, const Settings& settings);
    ~Impl();

    bool exist(const std::string& key);
    void removeAll();
    void flush();
    std::list<std::string> getRawData(const std::string& key);
    void update(const std::string& key, const std::string& text, Schema::UpdateMode mode);
    bool hasPendingWrites() const;

    std::recursive_mutex& mutex() const { return m_mutex; }
    const Settings& settings() const { return m_settings; }
    const std::string& storeFile() const { return m_connection->path(); }

private:
    // What a key will hold after the next flush, beside or instead of its stored values.
    struct PendingKey {
        bool replacesStored = false;      // true: the stored values go
        std::vector<std::string> values;  // written in this order after them
    };

    bool hasPendingLocked() const;
    void flushLocked();
    void writePendingLocked();  // inside the flush transaction
    void discardPendingLocked();
    std::list<std::string> readStoredLocked(const std::string& key);
    [[noreturn]] void failQuery(const std::string& operation);
    [[noreturn]] void failUpdate(const std::string& operation);

    const std::shared_ptr<kvstore::SqliteConnection> m_connection;  // shared with other sessions
    const Settings m_settings;

    mutable std::recursive_mutex m_mutex;  // the session mutex (KeyValueSchema::getMutex)
    bool m_clearAll = false;                    // guarded by m_mutex
    std::map<std::string, PendingKey> m_pending;  // guarded by m_mutex

    // Prepared on m_connection; used under its mutex.
    kvstore::Statement m_select;
    kvstore::Statement m_deleteKey;
    kvstore::Statement m_deleteAll;
    kvstore::Statement m_nextSeq;
    kvstore::Statement m_insert;
};
