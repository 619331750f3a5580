#include "IntegerSetting.h"

#include <boost/lexical_cast.hpp>

#include "host/ConfigurationManager.h"
#include "host/LogLine.h"

int32_t readIntegerSetting(Logger* logger, const std::string& key, int32_t defaultValue) {
    ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance();
    if (configuration == nullptr) return defaultValue;
    std::string text;
    if (configuration->get(key, text, 0) != 0) return defaultValue;
    try {
        return boost::lexical_cast<int32_t>(text);
    } catch (const boost::bad_lexical_cast&) {
        KS_LOG(logger, "KESTRUP: key '" + key + "' does not contain an integer value. Using default value");
        return defaultValue;
    }
}
