#include "persistence/KeyValueSchema.h"

#include <sqlite3.h>

#include "KeyValueSchemaImpl.h"

using kvstore::Statement;

const std::string KeyValueSchema::AUTO_FLUSH = "AutoFlush";
const std::string KeyValueSchema::DISABLE_PROPERTY = "Disable";
const std::string KeyValueSchema::ENABLE_PROPERTY = "Enable";
const std::string KeyValueSchema::BUSY_TIMEOUT_MS = "BusyTimeoutMs";
const std::string KeyValueSchema::SINGLE_VALUED = "single";
const std::string KeyValueSchema::MULTI_VALUED = "multi";

namespace {

std::string quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string columnBytes(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

// --- Impl -----------------------------------------------------------------------

KeyValueSchema::Impl::Impl(std::shared_ptr<kvstore::SqliteConnection> connection, const Settings& settings)
    : m_connection(std::move(connection)), m_settings(settings) {
    const std::string table = quoteIdentifier(settings.schemaName);
    std::lock_guard<std::mutex> lock(m_connection->mutex());
    m_connection->setBusyTimeout(settings.busyTimeoutMs);
    const std::string create = "CREATE TABLE IF NOT EXISTS " + table +
                               " (owner TEXT NOT NULL, key TEXT NOT NULL, seq INTEGER NOT NULL,"
                               " value BLOB NOT NULL, PRIMARY KEY (owner, key, seq)) WITHOUT ROWID";
    sqlite3* db = m_connection->handle();
    const bool prepared =
        m_connection->exec(create.c_str()) == SQLITE_OK &&
        m_select.prepare(db, "SELECT value FROM " + table + " WHERE owner = ?1 AND key = ?2 ORDER BY seq") ==
            SQLITE_OK &&
        m_deleteKey.prepare(db, "DELETE FROM " + table + " WHERE owner = ?1 AND key = ?2") == SQLITE_OK &&
        m_deleteAll.prepare(db, "DELETE FROM " + table + " WHERE owner = ?1") == SQLITE_OK &&
        m_nextSeq.prepare(db, "SELECT COALESCE(MAX(seq) + 1, 0) FROM " + table +
                                  " WHERE owner = ?1 AND key = ?2") == SQLITE_OK &&
        m_insert.prepare(db, "INSERT INTO " + table + " (owner, key, seq, value) VALUES (?1, ?2, ?3, ?4)") ==
            SQLITE_OK;
    if (!prepared) {
        const std::string message = m_connection->lastError();
        // The statements must go while the connection is held.
        m_select.finalize();
        m_deleteKey.finalize();
        m_deleteAll.finalize();
        m_nextSeq.finalize();
        m_insert.finalize();
        throw Schema::_scheme_exception("KeyValueSchema cannot open the schema " + settings.schemaName + " in " +
                                        m_connection->path() + ": " + message);
    }
}

KeyValueSchema::Impl::~Impl() {
    std::lock_guard<std::mutex> lock(m_connection->mutex());
    m_select.finalize();
    m_deleteKey.finalize();
    m_deleteAll.finalize();
    m_nextSeq.finalize();
    m_insert.finalize();
}

bool KeyValueSchema::Impl::exist(const std::string& key) { return !getRawData(key).empty(); }

void KeyValueSchema::Impl::removeAll() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_pending.clear();
    m_clearAll = true;
    if (m_settings.autoFlush) flushLocked();
}

void KeyValueSchema::Impl::update(const std::string& key, const std::string& text, Schema::UpdateMode mode) {
    if (mode != Schema::REPLACE && mode != Schema::APPEND)
        throw Schema::_update_exception("KeyValueSchema _update() failed: unknown update mode " +
                                        std::to_string(static_cast<int>(mode)));
    if (mode == Schema::APPEND && !m_settings.multiValued)
        throw Schema::_update_exception("KeyValueSchema _update() failed: APPEND needs a multi-valued schema");

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto found = m_pending.find(key);
    if (mode == Schema::REPLACE || found == m_pending.end()) {
        PendingKey& pending = m_pending[key];
        // An APPEND keeps the stored values, unless a pending removeAll drops them first.
        pending.replacesStored = (mode == Schema::REPLACE);
        pending.values.assign(1, text);
    } else {
        found->second.values.push_back(text);
    }
    if (m_settings.autoFlush) flushLocked();
}

std::list<std::string> KeyValueSchema::Impl::getRawData(const std::string& key) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto pending = m_pending.find(key);
    std::list<std::string> values;
    const bool storedSurvive = !m_clearAll && (pending == m_pending.end() || !pending->second.replacesStored);
    if (storedSurvive) values = readStoredLocked(key);
    if (pending != m_pending.end()) values.insert(values.end(), pending->second.values.begin(), pending->second.values.end());
    return values;
}

void KeyValueSchema::Impl::flush() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    flushLocked();
}

bool KeyValueSchema::Impl::hasPendingWrites() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return hasPendingLocked();
}

bool KeyValueSchema::Impl::hasPendingLocked() const { return m_clearAll || !m_pending.empty(); }

void KeyValueSchema::Impl::discardPendingLocked() {
    m_clearAll = false;
    m_pending.clear();
}

void KeyValueSchema::Impl::flushLocked() {
    if (!hasPendingLocked()) return;  // nothing to commit: no transaction, no sync
    try {
        std::lock_guard<std::mutex> use(m_connection->mutex());
        m_connection->setBusyTimeout(m_settings.busyTimeoutMs);
        // IMMEDIATE takes the write lock up front, so a busy store fails here, before
        // anything was written.
        if (m_connection->exec("BEGIN IMMEDIATE") != SQLITE_OK) failUpdate("flush()");
        try {
            writePendingLocked();
            if (m_connection->exec("COMMIT") != SQLITE_OK) failUpdate("flush()");
        } catch (...) {
            if (!sqlite3_get_autocommit(m_connection->handle())) m_connection->exec("ROLLBACK");
            throw;
        }
    } catch (...) {
        // An auto-flushed write either commits by itself or is gone; explicit
        // writes stay pending for the next flush.
        if (m_settings.autoFlush) discardPendingLocked();
        throw;
    }
    discardPendingLocked();
}

void KeyValueSchema::Impl::writePendingLocked() {
    const std::string& owner = m_settings.owner;
    if (m_clearAll) {
        Statement::Reset reset(m_deleteAll);
        m_deleteAll.bindText(1, owner);
        if (m_deleteAll.step() != SQLITE_DONE) failUpdate("removeAll()");
    }
    for (const auto& entry : m_pending) {
        const std::string& key = entry.first;
        const PendingKey& pending = entry.second;
        sqlite3_int64 seq = 0;
        if (pending.replacesStored) {
            Statement::Reset reset(m_deleteKey);
            m_deleteKey.bindText(1, owner);
            m_deleteKey.bindText(2, key);
            if (m_deleteKey.step() != SQLITE_DONE) failUpdate("_update()");
        } else {
            Statement::Reset reset(m_nextSeq);
            m_nextSeq.bindText(1, owner);
            m_nextSeq.bindText(2, key);
            if (m_nextSeq.step() != SQLITE_ROW) failUpdate("_update()");
            seq = sqlite3_column_int64(m_nextSeq.get(), 0);
        }
        for (const std::string& value : pending.values) {
            Statement::Reset reset(m_insert);
            m_insert.bindText(1, owner);
            m_insert.bindText(2, key);
            sqlite3_bind_int64(m_insert.get(), 3, seq++);
            m_insert.bindBlob(4, value);
            if (m_insert.step() != SQLITE_DONE) failUpdate("_update()");
        }
    }
}

std::list<std::string> KeyValueSchema::Impl::readStoredLocked(const std::string& key) {
    std::lock_guard<std::mutex> use(m_connection->mutex());
    m_connection->setBusyTimeout(m_settings.busyTimeoutMs);
    Statement::Reset reset(m_select);
    m_select.bindText(1, m_settings.owner);
    m_select.bindText(2, key);
    std::list<std::string> values;
    for (;;) {
        const int rc = m_select.step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) failQuery("getRawData()");
        values.push_back(columnBytes(m_select.get(), 0));
    }
    return values;
}

void KeyValueSchema::Impl::failQuery(const std::string& operation) {
    throw Schema::_query_exception("KeyValueSchema " + operation + " failed on " + m_settings.schemaName + ": " +
                                   m_connection->lastError());
}

void KeyValueSchema::Impl::failUpdate(const std::string& operation) {
    throw Schema::_update_exception("KeyValueSchema " + operation + " failed on " + m_settings.schemaName + ": " +
                                    m_connection->lastError());
}

// --- KeyValueSchema ---------------------------------------------------------------

KeyValueSchema::KeyValueSchema(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}
KeyValueSchema::~KeyValueSchema() = default;

bool KeyValueSchema::exist(const std::string& key) { return m_impl->exist(key); }
void KeyValueSchema::removeAll() { m_impl->removeAll(); }
void KeyValueSchema::flush() { m_impl->flush(); }
std::list<std::string> KeyValueSchema::getRawData(const std::string& key) { return m_impl->getRawData(key); }
bool KeyValueSchema::isMultiValuedSchema() const { return m_impl->settings().multiValued; }
void KeyValueSchema::_update(const std::string& key, const std::string& text, Schema::UpdateMode mode) {
    m_impl->update(key, text, mode);
}
std::recursive_mutex& KeyValueSchema::getMutex() const { return m_impl->mutex(); }
const std::string& KeyValueSchema::getSchemaName() const { return m_impl->settings().schemaName; }
const std::string& KeyValueSchema::getDomainId() const { return m_impl->settings().domainId; }
const std::string& KeyValueSchema::getStoreFile() const { return m_impl->storeFile(); }
bool KeyValueSchema::hasPendingWrites() const { return m_impl->hasPendingWrites(); }
