#include "bus/UUId.h"

#include <cctype>
#include <cstddef>

#include <boost/uuid/nil_generator.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace {

constexpr std::size_t kCanonicalLength = 36;

bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// The 36 characters of the canonical form, braces removed; empty when `text` has
// neither the bare form nor the braced form.
std::string canonicalBody(const std::string& text) {
    std::string body;
    if (text.size() == kCanonicalLength) {
        body = text;
    } else if (text.size() == kCanonicalLength + 2 && text.front() == '{' && text.back() == '}') {
        body = text.substr(1, kCanonicalLength);
    } else {
        return std::string();
    }
    for (std::size_t i = 0; i < body.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (isDashPosition(i) ? c != '-' : !std::isxdigit(c)) return std::string();
    }
    return body;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;  // only called on characters canonicalBody accepted
}

}  // namespace

UUId::UUId() : m_value(boost::uuids::nil_uuid()) {}

UUId::UUId(const std::string& text) : m_value(boost::uuids::nil_uuid()) {
    const std::string body = canonicalBody(text);
    if (body.empty()) return;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < body.size(); i += 2) {
        if (isDashPosition(i)) ++i;
        m_value.data[byte++] = static_cast<boost::uuids::uuid::value_type>(hexValue(body[i]) * 16 + hexValue(body[i + 1]));
    }
}

bool UUId::operator==(const UUId& other) const { return m_value == other.m_value; }
bool UUId::operator!=(const UUId& other) const { return m_value != other.m_value; }
bool UUId::operator<(const UUId& other) const { return m_value < other.m_value; }

std::string UUId::getValue() const { return boost::uuids::to_string(m_value); }

bool UUId::isNil() const { return m_value.is_nil(); }

bool UUId::checkValid(const std::string& text) { return !canonicalBody(text).empty(); }

UUId UUId::generate() {
    // One generator per thread: a generator is not safe to share between threads.
    thread_local boost::uuids::random_generator generator;
    UUId id;
    id.m_value = generator();
    return id;
}
