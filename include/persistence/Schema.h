#pragma once
#include <exception>
#include <string>

#include "Export.h"

// Shared vocabulary of the key-value store: how an update treats the values already
// stored under its key, and the errors every store operation reports.
namespace Schema {

enum UpdateMode {
    // The key ends up with exactly the one new value (the default of the typed update).
    REPLACE = 0,
    // The new value is added after the key's existing values (multi-valued schemas only).
    APPEND = 1
};

// Base of every store error. The message says what failed and, for a database
// error, carries the database's own message.
class KESTRUP_PERSISTENCE_API _scheme_exception : public std::exception {
public:
    explicit _scheme_exception(const std::string& message);
    ~_scheme_exception() override;
    const char* what() const noexcept override;
    const std::string& getMessage() const;

private:
    std::string m_message;
};

// A read failed (database error), or a key holds more values than the reader accepts.
class KESTRUP_PERSISTENCE_API _query_exception : public _scheme_exception {
public:
    explicit _query_exception(const std::string& message);
    ~_query_exception() override;
};

// A typed read found no value under the key.
class KESTRUP_PERSISTENCE_API _key_does_not_exist_exception : public _scheme_exception {
public:
    explicit _key_does_not_exist_exception(const std::string& message);
    ~_key_does_not_exist_exception() override;
};

// A write or a flush failed, or the write is not allowed on this schema.
class KESTRUP_PERSISTENCE_API _update_exception : public _scheme_exception {
public:
    explicit _update_exception(const std::string& message);
    ~_update_exception() override;
};

// A stored text is not a value of the type the reader asked for.
class KESTRUP_PERSISTENCE_API _type_not_match_exception : public _scheme_exception {
public:
    explicit _type_not_match_exception(const std::string& message);
    ~_type_not_match_exception() override;
};

}  // namespace Schema
