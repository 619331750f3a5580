#pragma once
// Direct SQLite access to a store file, for tests that inspect a store from the
// outside or act as a second process would (holding its write lock).
#include <stdexcept>
#include <string>

#include <sqlite3.h>

namespace storetest {

class RawStore {
public:
    explicit RawStore(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            sqlite3_close(m_db);
            throw std::runtime_error("cannot open " + path + ": " + message);
        }
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~RawStore() { sqlite3_close(m_db); }
    RawStore(const RawStore&) = delete;
    RawStore& operator=(const RawStore&) = delete;

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error(sql + ": " + message);
        }
    }

    // The first column of the first row as text ("" when there is no row).
    std::string queryText(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(m_db));
        std::string result;
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            result = text ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(m_db));
        return result;
    }

    std::string integrityCheck() { return queryText("PRAGMA integrity_check"); }

private:
    sqlite3* m_db = nullptr;
};

}  // namespace storetest
