#pragma once
// "run" on an unattended host with an install window: asks the component to launch
// a downloaded installer only while the window is open. Outside it the installer
// waits; the log says until when, once per wait.
//
// Threads: serve() runs on a thread of its own; UpdateClient::cancel() from another
// thread ends it promptly.
#include <string>

#include "HostSettings.h"

class Logger;

namespace kestrup_host {

class UpdateClient;

class WindowedLauncher {
public:
    // Not owned; all outlive it.
    WindowedLauncher(UpdateClient& client, const HostSettings& settings, Logger* logger);

    // Looks at the stored workflow now and then, until cancelled.
    void serve();

private:
    // One look: launches when the workflow is Downloaded inside the window.
    void look();
    void log(const std::string& line);

    UpdateClient& m_client;
    const HostSettings& m_settings;
    Logger* m_logger;
    std::string m_waitLogged;  // the opening the last "waits" line named
};

}  // namespace kestrup_host
