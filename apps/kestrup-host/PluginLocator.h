#pragma once
// Where kestrup-host finds the plug-in module when --plugin is not given.
#include <string>
#include <vector>

namespace kestrup_host {

// The places searched, in order: next to the program, the build tree's lib folder
// (<build>/bin/../lib) and the installed plug-in folder (<prefix>/bin/../<libdir>/
// kestrup/plugins).
std::vector<std::string> pluginCandidates(const std::string& programFolder);

// `explicitPath` when given (it must exist), else the first candidate that exists.
// False with a message that names every place looked at.
bool locatePlugin(const std::string& explicitPath, const std::string& programFolder, std::string& path,
                  std::string& error);

}  // namespace kestrup_host
