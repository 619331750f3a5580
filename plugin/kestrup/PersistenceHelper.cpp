#include "PersistenceHelper.h"

#include <locale>
#include <sstream>

#include <boost/any.hpp>
#include <boost/lexical_cast.hpp>

#include "host/XMLTool.h"
#include "payloads/Manifest.h"

namespace {

const char* const kDataField = "data";

std::string serializeWrapper(const std::string& rootName, const std::string& data) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName(rootName);
    writer->writeField(kDataField, data);
    return writer->text();
}

// Reads the data field of a wrapper archive with that root; false for any other text.
bool deserializeWrapper(const std::string& text, const std::string& rootName, std::string& data) {
    try {
        std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, boost::any(rootName));
        if (!reader || reader->getRootName() != rootName) return false;
        std::string value;
        if (!reader->readField(kDataField, value)) return false;
        data = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

template <class Number>
std::string decimal(Number value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());  // no digit grouping, whatever the host's locale
    text << value;
    return text.str();
}

template <class Number, class Wrapper>
bool unwrapNumber(const std::string& text, Number& value) {
    Wrapper wrapper;
    if (!wrapper.deserialize(text)) return false;
    try {
        value = boost::lexical_cast<Number>(wrapper.data);
    } catch (const boost::bad_lexical_cast& e) {
        throw Schema::_type_not_match_exception(std::string("Can't convert wrapped type, lexical cast exception: ") +
                                                e.what());
    }
    return true;
}

}  // namespace

Int::Int() = default;
Int::Int(const Int& other) : ISerializable(), data(other.data) {}
Int::Int(int32_t value) : data(decimal(value)) {}
std::string Int::getSerializableType() const { return "Int"; }
std::string Int::serialize() const { return serializeWrapper("IntWrapper", data); }
bool Int::deserialize(const std::string& text) { return deserializeWrapper(text, "IntWrapper", data); }

Time::Time() = default;
Time::Time(const Time& other) : ISerializable(), data(other.data) {}
Time::Time(int64_t value) : data(decimal(value)) {}
std::string Time::getSerializableType() const { return "Time"; }
std::string Time::serialize() const { return serializeWrapper("TimeWrapper", data); }
bool Time::deserialize(const std::string& text) { return deserializeWrapper(text, "TimeWrapper", data); }

String::String() = default;
String::String(const String& other) : ISerializable(), data(other.data) {}
String::String(const std::string& value) : data(value) {}
std::string String::getSerializableType() const { return "String"; }
std::string String::serialize() const { return serializeWrapper("StringWrapper", data); }
bool String::deserialize(const std::string& text) { return deserializeWrapper(text, "StringWrapper", data); }

namespace SchemaValueCodec {

std::string wrap(int32_t value) { return Int(value).serialize(); }
bool unwrap(const std::string& text, int32_t& value) { return unwrapNumber<int32_t, Int>(text, value); }

std::string wrap(int64_t value) { return Time(value).serialize(); }
bool unwrap(const std::string& text, int64_t& value) { return unwrapNumber<int64_t, Time>(text, value); }

std::string wrap(const std::string& value) { return String(value).serialize(); }
bool unwrap(const std::string& text, std::string& value) {
    String wrapper;
    if (!wrapper.deserialize(text)) return false;
    value = wrapper.data;
    return true;
}

std::string wrap(const KSFile& value) { return storeKSFile(value); }
bool unwrap(const std::string& text, KSFile& value) { return loadKSFile(text, value); }

}  // namespace SchemaValueCodec
