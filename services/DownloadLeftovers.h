#pragma once
// Finds and removes what downloads that nobody will continue left behind: partial
// files ("." + name + "." + session + ".part") and session records.
#include <functional>
#include <string>
#include <vector>

namespace kestrup_services {

class DownloadSessionStore;

// Removes the record of every session in `store` for which `keep` is false, with the
// partial file it names, then every partial file of such a session in `folders`.
// Returns the paths removed, for the log.
std::vector<std::string> removeDownloadLeftovers(DownloadSessionStore& store, const std::vector<std::string>& folders,
                                                 const std::function<bool(const std::string&)>& keep);

// The session id in a partial file's name; "" when `name` is not one.
std::string sessionOfPartialFile(const std::string& name);

}  // namespace kestrup_services
