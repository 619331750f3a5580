#pragma once
#include <string>

#include "Export.h"

// The host's configuration store: text values under "Group/Key" names.
class KESTRUP_HOST_API ConfigurationManager {
public:
    virtual ~ConfigurationManager();
    // Re-reads the backing store. 0 on success.
    virtual int reload() = 0;
    // Stores a value (flags: 0). 0 on success.
    virtual int set(const std::string& key, const std::string& value, int flags) = 0;
    // Reads a value into `value` (flags: 0). Returns 0 when the key exists,
    // non-zero (and leaves `value` alone) otherwise.
    virtual int get(const std::string& key, std::string& value, int flags) = 0;

    // The installed store; null when the host installed none. Not owned.
    static ConfigurationManager* getDefaultInstance();
    static void setDefaultInstance(ConfigurationManager* manager);
};

// An INI file read with QSettings: "Kestrup/InactivityTimeout" is key
// InactivityTimeout in group [Kestrup]. Thread-safe.
class KESTRUP_HOST_API IniConfigurationManager : public ConfigurationManager {
public:
    // The file need not exist; a missing file is an empty store.
    explicit IniConfigurationManager(const std::string& iniPath);
    ~IniConfigurationManager() override;
    int reload() override;
    int set(const std::string& key, const std::string& value, int flags) override;
    int get(const std::string& key, std::string& value, int flags) override;
    // False when the file exists but cannot be read or parsed.
    bool isReadable() const;
    std::string errorText() const;

private:
    struct Impl;
    Impl* m_impl;  // owned
};
