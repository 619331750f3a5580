// The INI configuration file, read and checked as kestrup-host reads it at start.
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "HostSettings.h"
#include "host/ConfigurationManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kestrup_fuzz::ScratchFolder::write("kestrup-host.ini", kestrup_fuzz::asText(data, size));
    kestrup_host::HostSettings settings;
    std::vector<std::string> problems;
    if (!kestrup_host::loadHostSettings(path, settings, problems) && problems.empty()) __builtin_trap();

    IniConfigurationManager configuration(path);
    std::string value;
    configuration.get("Identities/DomainID", value, 0);
    configuration.get("Kestrup/InactivityTimeout", value, 0);
    configuration.errorText();
    return 0;
}
