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
            const std::string message = path + ": " + sqlite3_errmsg(m_db);  // null handle: "out of memory"
            sqlite3_close(m_db);
            throw std::runtime_error(message);
        }
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~RawStore() { sqlite3_close(m_db); }
    RawStore(const RawStore&) = delete;
    RawStore& operator=(const RawStore&) = delete;

    // Runs one statement; the first column of its first row as text ("" for none).
    std::string query(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(m_db));
        const int rc = sqlite3_step(stmt);
        const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : nullptr;
        const std::string result = text ? reinterpret_cast<const char*>(text) : "";
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(m_db));
        return result;
    }

private:
    sqlite3* m_db = nullptr;
};

}  // namespace storetest
