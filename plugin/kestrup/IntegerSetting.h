#pragma once
#include <cstdint>
#include <string>

class Logger;

// Reads an integer setting from the host configuration store.
// - no store, or the key is missing: `defaultValue`, nothing logged;
// - the value is not a 32-bit integer: logs "KESTRUP: key '<key>' does not contain
//   an integer value. Using default value" and returns `defaultValue`.
int32_t readIntegerSetting(Logger* logger, const std::string& key, int32_t defaultValue);
