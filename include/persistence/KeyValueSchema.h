#pragma once
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "Export.h"
#include "persistence/Schema.h"

class PersistentManager;

// A named table of text values under string keys, in a SQLite store file (see
// PersistentManager). Obtained from PersistentManager::initLocal.
//
// Handles: KeyValueSchema is a cheap copyable handle. Copies share one schema
// session: the same pending writes, the same mutex. Each initLocal call opens a new
// session, even for a table that is already open; sessions on one table see each
// other's flushed values, never each other's pending ones.
//
// Durability. With auto-flush disabled (property AUTO_FLUSH -> DISABLE_PROPERTY),
// writes and removeAll() since the last flush() are pending: reads through this
// session see them at once, nothing else does. flush() commits all of them in one
// SQLite transaction (WAL journal, synchronous=FULL), so after a crash, a kill or a
// power cut the table holds either all of them or none. A flush with nothing
// pending does nothing (no transaction, no sync). Pending writes that were never
// flushed are lost when the last handle of the session goes, or with the process.
// With auto-flush enabled (the default), every write and removeAll() commits itself
// before it returns, and flush() has nothing to do.
//
// Errors. Every database error becomes a Schema:: exception whose message holds
// SQLite's message: _query_exception for reads, _update_exception for writes and
// flushes. A failed flush rolls its transaction back and keeps the writes pending,
// so a later flush() may commit them; a failed auto-flushed write is dropped.
// Another process holding the store's write lock is waited for up to the busy
// time-out (property BUSY_TIMEOUT_MS, default 5000 ms), then the call fails with
// SQLite's "database is locked".
//
// Threads. Any thread may call any operation of any handle. Each operation holds
// the session's mutex (getMutex()) for its whole run; the mutex is recursive, so a
// caller may hold it across several calls to make them one atomic sequence. All
// sessions on one store file in a process share one SQLite connection, opened by
// the first initLocal for that file and closed with the last session; every use of
// it holds the connection's own mutex, which is always taken after a session mutex
// and never waits for one. A flush holds the connection only for its one short
// transaction, so sessions on one file do not block each other beyond that.
class KESTRUP_PERSISTENCE_API KeyValueSchema {
public:
    // Property names and values for PersistentManager::initLocal.
    static const std::string AUTO_FLUSH;        // "AutoFlush"
    static const std::string DISABLE_PROPERTY;  // "Disable"
    static const std::string ENABLE_PROPERTY;   // "Enable"
    static const std::string BUSY_TIMEOUT_MS;   // "BusyTimeoutMs": decimal milliseconds, >= 0
    // Values of initLocal's fourth argument (the schema kind); "" means SINGLE_VALUED.
    static const std::string SINGLE_VALUED;     // "single"
    static const std::string MULTI_VALUED;      // "multi"

    KeyValueSchema(const KeyValueSchema&) = default;
    KeyValueSchema& operator=(const KeyValueSchema&) = default;
    ~KeyValueSchema();

    // True when the key holds at least one value (pending writes included).
    bool exist(const std::string& key);
    // Removes every key of the table (pending until flush when auto-flush is off).
    void removeAll();
    // Commits the pending writes; see above.
    void flush();
    // Every value stored under the key, oldest first; empty when there is none.
    std::list<std::string> getRawData(const std::string& key);
    bool isMultiValuedSchema() const;
    // Writes `text` under `key`. REPLACE leaves the key with that one value; APPEND
    // adds it after the existing ones and throws _update_exception on a
    // single-valued schema.
    void _update(const std::string& key, const std::string& text, Schema::UpdateMode mode);

    // The session's mutex (recursive); see "Threads" above.
    std::recursive_mutex& getMutex() const;

    // Typed access. The templates are defined by the code that stores typed values
    // (it includes the definitions and instantiates them for its own types).
    // get: the key's single value, converted; throws a Schema:: exception for a
    // missing key, several values, or a text that does not convert.
    template <class T>
    void get(const std::string& key, T& out);
    // update: converts the value and writes it with _update.
    template <class T>
    void update(const std::string& key, const T& value, Schema::UpdateMode mode);

    const std::string& getSchemaName() const;
    const std::string& getDomainId() const;
    // The SQLite file that holds the table.
    const std::string& getStoreFile() const;
    bool hasPendingWrites() const;

private:
    friend class PersistentManager;
    class Impl;
    explicit KeyValueSchema(std::shared_ptr<Impl> impl);

    std::shared_ptr<Impl> m_impl;  // shared by every copy; never null
};
