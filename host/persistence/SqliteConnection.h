#pragma once
// Internal to the store library: one shared SQLite connection per store file, and a
// prepared-statement wrapper. Nothing here is exported.
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace kvstore {

// An open store file with the durability settings of the store (WAL journal,
// synchronous=FULL). The connection is opened in SQLite's multi-thread mode, so
// every use of handle() (statements of it included) must hold mutex().
class SqliteConnection {
public:
    // The connection to `path` shared by this process, opened (and the file created)
    // on first use. Throws Schema::_scheme_exception with SQLite's message when the
    // file cannot be opened or is not a database.
    static std::shared_ptr<SqliteConnection> acquire(const std::string& path);

    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    std::mutex& mutex() { return m_mutex; }
    sqlite3* handle() { return m_db; }
    const std::string& path() const { return m_path; }

    // Sets how long a call waits for another process's lock. Requires mutex().
    void setBusyTimeout(int milliseconds);
    // SQLite's message for the last failed call on this connection. Requires mutex().
    std::string lastError() const;
    // Runs SQL without results; returns SQLite's result code. Requires mutex().
    int exec(const char* sql);

private:
    SqliteConnection(sqlite3* db, const std::string& path);

    sqlite3* const m_db;  // owned; used under m_mutex
    const std::string m_path;
    std::mutex m_mutex;
    int m_busyTimeoutMs;  // guarded by m_mutex
};

// A prepared statement kept for the life of its owner. Every call requires the
// connection's mutex.
class Statement {
public:
    Statement() = default;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Returns SQLite's result code.
    int prepare(sqlite3* db, const std::string& sql);
    void finalize();
    sqlite3_stmt* get() { return m_stmt; }

    // Binds a text (byte exact) or blob parameter, 1-based.
    void bindText(int index, const std::string& text);
    void bindBlob(int index, const std::string& bytes);
    // sqlite3_step; resets the statement afterwards only through Reset.
    int step();

    // Resets and clears bindings when it goes out of scope.
    class Reset {
    public:
        explicit Reset(Statement& statement) : m_statement(statement) {}
        ~Reset();

    private:
        Statement& m_statement;
    };

private:
    sqlite3_stmt* m_stmt = nullptr;  // owned
};

}  // namespace kvstore
