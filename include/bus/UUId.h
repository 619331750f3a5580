#pragma once
#include <string>

#include <boost/uuid/uuid.hpp>

#include "Export.h"

// An identifier value (sessions, applications, configuration items).
//
// getValue() always yields the canonical text form: 36 lower-case hexadecimal
// characters with four dashes and no braces, so two ids built from differently
// written texts of the same value ("{ABC...}" and "abc...") compare and print
// equal.
//
// A default-constructed UUId is the nil value "00000000-0000-0000-0000-000000000000".
// That value is deterministic on purpose: every conversation the component opens on
// its own (backend notifications, installer launches) uses it, and a receiver can
// recognise it. Use UUId::generate() for a fresh random id.
class KESTRUP_HOST_API UUId {
public:
    UUId();
    // Parses the text; a text that checkValid() rejects gives the nil value.
    explicit UUId(const std::string& text);
    UUId(const UUId&) = default;
    UUId& operator=(const UUId&) = default;

    bool operator==(const UUId& other) const;
    bool operator!=(const UUId& other) const;
    bool operator<(const UUId& other) const;

    std::string getValue() const;
    bool isNil() const;

    // True for the canonical form (any letter case), with or without one pair of
    // surrounding braces; false for anything else.
    static bool checkValid(const std::string& text);
    // A new random (version 4) id.
    static UUId generate();

private:
    boost::uuids::uuid m_value;
};
