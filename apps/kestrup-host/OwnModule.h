#pragma once
// A shared library of ours that kestrup-host loads only when it needs it (the
// transfer stack, the feed tool), so that a host which never transfers never maps
// libcurl and libcrypto. It is looked for next to the program and in the library
// folder beside it, as the install and the build tree lay it out.
#include <mutex>
#include <string>
#include <vector>

#include <QLibrary>

namespace kestrup_host {

class OwnModule {
public:
    // `fileName`: the module's file name ("libkestrup_services.so").
    OwnModule(const std::string& fileName, const std::string& programFolder);
    OwnModule(const OwnModule&) = delete;
    OwnModule& operator=(const OwnModule&) = delete;

    // Where it would be loaded from; empty with `error` when no candidate exists.
    std::string locate(std::string& error) const;
    // Loads the module on the first call and returns the function `symbol`; null,
    // with `error` naming the module file, when either cannot be had. The module
    // stays loaded until the process ends: the libraries it brings keep
    // process-wide state. Thread-safe.
    QFunctionPointer function(const char* symbol, std::string& error);

private:
    std::vector<std::string> candidates() const;

    const std::string m_fileName;
    const std::string m_programFolder;
    std::mutex m_mutex;
    QLibrary m_library;  // guarded by m_mutex
};

}  // namespace kestrup_host
