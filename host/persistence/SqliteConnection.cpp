#include "SqliteConnection.h"

#include <map>

#include <sqlite3.h>

#include "persistence/Schema.h"

namespace kvstore {

namespace {

const int kDefaultBusyTimeoutMs = 5000;

// Live connections by store file. Entries expire with their last user; the map
// itself never touches a connection, so it may go before or after them.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<SqliteConnection>> connections;  // guarded by mutex
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

std::shared_ptr<SqliteConnection> SqliteConnection::acquire(const std::string& path) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (auto it = reg.connections.begin(); it != reg.connections.end();) {
        if (it->second.expired())
            it = reg.connections.erase(it);
        else
            ++it;
    }
    auto found = reg.connections.find(path);
    if (found != reg.connections.end()) {
        if (std::shared_ptr<SqliteConnection> live = found->second.lock()) return live;
    }

    sqlite3* db = nullptr;
    // Multi-thread mode: our own mutex serialises every use of the connection.
    const int rc = sqlite3_open_v2(path.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        throw Schema::_scheme_exception("KeyValueSchema cannot open the store file " + path + ": " + message);
    }
    std::shared_ptr<SqliteConnection> connection(new SqliteConnection(db, path));
    {
        std::lock_guard<std::mutex> use(connection->mutex());
        connection->setBusyTimeout(kDefaultBusyTimeoutMs);
        // The first statements read the file header: a file that is not a database
        // fails here, not later.
        if (connection->exec("PRAGMA journal_mode=WAL") != SQLITE_OK ||
            connection->exec("PRAGMA synchronous=FULL") != SQLITE_OK) {
            throw Schema::_scheme_exception("KeyValueSchema cannot open the store file " + path + ": " +
                                            connection->lastError());
        }
    }
    reg.connections[path] = connection;
    return connection;
}

SqliteConnection::SqliteConnection(sqlite3* db, const std::string& path)
    : m_db(db), m_path(path), m_busyTimeoutMs(-1) {}

SqliteConnection::~SqliteConnection() {
    // Every statement of this connection belongs to a session that holds the
    // connection, so none is left; close_v2 would defer the close otherwise.
    sqlite3_close_v2(m_db);
}

void SqliteConnection::setBusyTimeout(int milliseconds) {
    if (milliseconds == m_busyTimeoutMs) return;
    sqlite3_busy_timeout(m_db, milliseconds);
    m_busyTimeoutMs = milliseconds;
}

std::string SqliteConnection::lastError() const { return sqlite3_errmsg(m_db); }

int SqliteConnection::exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }

Statement::~Statement() { finalize(); }

int Statement::prepare(sqlite3* db, const std::string& sql) {
    finalize();
    return sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size() + 1), SQLITE_PREPARE_PERSISTENT,
                              &m_stmt, nullptr);
}

void Statement::finalize() {
    if (m_stmt) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

void Statement::bindText(int index, const std::string& text) {
    sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void Statement::bindBlob(int index, const std::string& bytes) {
    // A zero-length blob, not NULL, for an empty value.
    if (bytes.empty())
        sqlite3_bind_zeroblob(m_stmt, index, 0);
    else
        sqlite3_bind_blob64(m_stmt, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

int Statement::step() { return sqlite3_step(m_stmt); }

Statement::Reset::~Reset() {
    sqlite3_reset(m_statement.m_stmt);
    sqlite3_clear_bindings(m_statement.m_stmt);
}

}  // namespace kvstore
