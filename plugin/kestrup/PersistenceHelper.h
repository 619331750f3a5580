#pragma once
#include <cstdint>
#include <exception>
#include <list>
#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/ConfigurationManager.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/ISerializable.h"
#include "persistence/KeyValueSchema.h"
#include "persistence/PersistentManager.h"
#include "persistence/Schema.h"

class KSFile;

// --- Value wrappers -------------------------------------------------------------
// A typed value is stored as the serializer archive of its wrapper: root
// "IntWrapper", "TimeWrapper" or "StringWrapper" with one field "data" holding the
// value as text.

class Int : public ISerializable {
public:
    Int();
    Int(const Int& other);
    explicit Int(int32_t value);  // decimal text
    std::string getSerializableType() const override;  // "Int"
    std::string serialize() const;
    // False (and `data` unchanged) when `text` is not an "IntWrapper" archive.
    bool deserialize(const std::string& text);

    std::string data;
};

class Time : public ISerializable {
public:
    Time();
    Time(const Time& other);
    explicit Time(int64_t value);  // decimal text
    std::string getSerializableType() const override;  // "Time"
    std::string serialize() const;
    bool deserialize(const std::string& text);  // root "TimeWrapper"

    std::string data;
};

class String : public ISerializable {
public:
    String();
    String(const String& other);
    explicit String(const std::string& value);
    std::string getSerializableType() const override;  // "String"
    std::string serialize() const;
    bool deserialize(const std::string& text);  // root "StringWrapper"

    std::string data;
};

// wrap turns a value into the text the schema stores. unwrap reads it back into
// `value` and returns true, or returns false when the text is not the stored form
// of that type; `value` is written only on success. unwrap of an integer throws
// Schema::_type_not_match_exception when the wrapper's data is not a number in range.
namespace SchemaValueCodec {
std::string wrap(int32_t value);
bool unwrap(const std::string& text, int32_t& value);
std::string wrap(int64_t value);
bool unwrap(const std::string& text, int64_t& value);
std::string wrap(const std::string& value);
bool unwrap(const std::string& text, std::string& value);
std::string wrap(const KSFile& value);
bool unwrap(const std::string& text, KSFile& value);
}  // namespace SchemaValueCodec

// --- Typed templates of KeyValueSchema -------------------------------------------

template <class T>
void KeyValueSchema::get(const std::string& key, T& out) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::list<std::string> texts = getRawData(key);
    if (texts.size() == 1) {
        if (!SchemaValueCodec::unwrap(texts.front(), out))
            throw Schema::_type_not_match_exception(
                "KeyValueSchema error get() due to: Can't unwrap the serialized object: " + texts.front());
        return;
    }
    if (texts.empty())
        throw Schema::_key_does_not_exist_exception("KeyValueSchema error get() due to: invalid key ->" + key);
    throw Schema::_query_exception(
        "KeyValueSchema error get() due to: there are more than one value for this key ->" + key);
}

template <class T>
void KeyValueSchema::update(const std::string& key, const T& value, Schema::UpdateMode mode) {
    if (isMultiValuedSchema())
        throw Schema::_update_exception("KeyValueSchema update() exception due to: Can't update on multivalued schema");
    _update(key, SchemaValueCodec::wrap(value), mode);
}

// --- PersistenceHelper ------------------------------------------------------------

// Typed access to one schema of the local store, for int32_t, int64_t (time),
// std::string and KSFile values. No operation throws a std::exception: results are
//   0  done,
//   1  the schema is not open (the constructor failed; nothing is logged),
//   2  the store or the value failed; one "KESTRUP: ..." line is logged.
// The schema is opened with auto-flush disabled: a value inserted with flush false
// reaches the store file only with a later flush.
// Threads: get holds the schema's mutex; the other operations rely on the schema's
// own locking. The update component calls it from its handlers only.
// Every line is logged from this header, so the line's source is this file.
class PersistenceHelper {
public:
    PersistenceHelper(const std::string& schemaName, const std::string& user, const std::string& schemaType) {
        std::string domainId;
        ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance();
        if (!configuration || configuration->get("Identities/DomainID", domainId, 0) != 0) {
            KS_LOG(Logger::getDefaultInstance(), "KESTRUP: Could not get DomainID from config.ini");
            domainId.clear();
        }
        PersistentManager::Properties properties;
        properties[KeyValueSchema::AUTO_FLUSH] = KeyValueSchema::DISABLE_PROPERTY;
        try {
            PersistentManager manager;
            m_schema.reset(new KeyValueSchema(manager.initLocal(schemaName, domainId, user, schemaType, properties)));
        } catch (const std::exception& e) {
            KS_LOG(Logger::getDefaultInstance(), std::string("KESTRUP: Init schema failed. Reason: ") + e.what());
        }
    }

    bool isOpen() const { return static_cast<bool>(m_schema); }

    // Reads the key into `out` (written only on success).
    template <class T>
    int get(const std::string& key, T& out) {
        if (!m_schema) return 1;
        try {
            m_schema->get(key, out);
            return 0;
        } catch (const std::exception& e) {
            KS_LOG(Logger::getDefaultInstance(), std::string("KESTRUP: Schema get failed. Reason: ") + e.what());
            return 2;
        }
    }

    // Replaces the key's value; commits everything pending when `flush` is set.
    template <class T>
    int insert(const std::string& key, const T& value, bool flush) {
        if (!m_schema) return 1;
        try {
            m_schema->update(key, value, Schema::REPLACE);
            if (flush) m_schema->flush();
            return 0;
        } catch (const std::exception& e) {
            KS_LOG(Logger::getDefaultInstance(), std::string("KESTRUP: Schema insert failed. Reason: ") + e.what());
            return 2;
        }
    }

    // Removes every key; commits everything pending when `flush` is set.
    int removeAll(bool flush) {
        if (!m_schema) return 1;
        try {
            m_schema->removeAll();
            if (flush) m_schema->flush();
            return 0;
        } catch (const std::exception& e) {
            KS_LOG(Logger::getDefaultInstance(), std::string("KESTRUP: Schema remove all failed. Reason: ") + e.what());
            return 2;
        }
    }

    // False when the key is missing, the schema is not open, or the store fails.
    bool exists(const std::string& key) {
        bool present = false;
        return exists(key, present) == 0 && present;
    }

    // Whether the key is there, for a caller that must tell a missing key from a
    // store that could not be read (`present` is then false too).
    int exists(const std::string& key, bool& present) {
        present = false;
        if (!m_schema) return 1;
        try {
            present = m_schema->exist(key);
            return 0;
        } catch (const std::exception& e) {
            KS_LOG(Logger::getDefaultInstance(), std::string("KESTRUP: Schema exists(key) failed. Reason: ") + e.what());
            return 2;
        }
    }

private:
    boost::shared_ptr<KeyValueSchema> m_schema;  // empty unless the constructor opened the schema
};
