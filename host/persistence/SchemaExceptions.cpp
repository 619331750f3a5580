#include "persistence/Schema.h"

namespace Schema {

_scheme_exception::_scheme_exception(const std::string& message) : m_message(message) {}
_scheme_exception::~_scheme_exception() = default;
const char* _scheme_exception::what() const noexcept { return m_message.c_str(); }
const std::string& _scheme_exception::getMessage() const { return m_message; }

_query_exception::_query_exception(const std::string& message) : _scheme_exception(message) {}
_query_exception::~_query_exception() = default;

_key_does_not_exist_exception::_key_does_not_exist_exception(const std::string& message)
    : _scheme_exception(message) {}
_key_does_not_exist_exception::~_key_does_not_exist_exception() = default;

_update_exception::_update_exception(const std::string& message) : _scheme_exception(message) {}
_update_exception::~_update_exception() = default;

_type_not_match_exception::_type_not_match_exception(const std::string& message)
    : _scheme_exception(message) {}
_type_not_match_exception::~_type_not_match_exception() = default;

}  // namespace Schema
