#pragma once
// The configuration of kestrup-host: one INI file that holds the component's own
// settings ([Kestrup], [Identities]) and the host's ([Host]). See the README for
// every key.
#include <cstdint>
#include <string>
#include <vector>

#include "BackendClient.h"
#include "DownloadService.h"
#include "InstallWindow.h"

namespace kestrup_host {

// The five settings the component reads itself; checked here so that a bad value
// stops the host with a clear message instead of being replaced by a default.
struct ComponentSettings {
    int32_t inactivityTimeout = -1;      // seconds; negative: never
    int32_t downloadRetries = 3;
    int32_t downloadRetryInterval = 600;  // seconds
    int32_t checkForUpdateInterval = 0;   // seconds; -1: never
    int32_t installRetries = 3;
};

// What the host does after an update: the health check of the new version, the
// way back to the old one, and the hours in which "run" may start an installer.
struct AfterUpdateSettings {
    std::vector<std::string> healthCommand;    // program and arguments; empty: no check
    unsigned healthTimeoutSeconds = 120;
    std::vector<std::string> rollbackCommand;  // gets the old and the new version; empty: none
    bool hasInstallWindow = false;
    InstallWindow installWindow;
};

struct HostSettings {
    std::string configFile;    // absolute path of the INI file
    std::string domainId;      // Identities/DomainID
    std::string registryFile;  // absolute
    std::string feedUrl;       // http, https or file URL
    std::string reportUrl;     // http or https URL; empty: installs are only logged
    std::string dataFolder;    // absolute; the store, downloads and the log live here
    std::string logFile;       // absolute
    ComponentSettings component;
    DownloadServiceOptions download;  // folders are filled in by the host context
    BackendClientOptions backend;
    AfterUpdateSettings afterUpdate;
    std::string holdListFile;  // <dataFolder>/hold-list
};

// Reads and checks `configFile`. Relative paths in it are taken from the file's
// folder; "%USER_DATA%" expands to the per-user data folder. Returns false with one
// line per problem in `problems` (every problem of the file, not just the first);
// `settings` is complete only when it returns true.
bool loadHostSettings(const std::string& configFile, HostSettings& settings, std::vector<std::string>& problems);

}  // namespace kestrup_host
