#include "DownloadLeftovers.h"

#include <filesystem>
#include <memory>

#include "DestinationFolder.h"
#include "DownloadSessionStore.h"
#include "bus/UUId.h"

namespace kestrup_services {

namespace {

const std::size_t kUuidLength = 36;

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(std::filesystem::u8path(folder), error), end; !error && entry != end;
         entry.increment(error)) {
        names.push_back(entry->path().filename().u8string());
    }
    return names;
}

}  // namespace

std::string sessionOfPartialFile(const std::string& name) {
    const std::string suffix = ".part";
    // "." + at least one character + "." + session + ".part"
    if (name.size() < 3 + kUuidLength + suffix.size() || name[0] != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::string();
    }
    const std::size_t start = name.size() - suffix.size() - kUuidLength;
    if (name[start - 1] != '.') return std::string();
    const std::string session = name.substr(start, kUuidLength);
    return UUId::checkValid(session) ? UUId(session).getValue() : std::string();
}

std::vector<std::string> removeDownloadLeftovers(DownloadSessionStore& store, const std::vector<std::string>& folders,
                                                 const std::function<bool(const std::string&)>& keep) {
    std::vector<std::string> removed;
    std::vector<std::string> scanned = folders;
    for (const std::string& session : store.sessions()) {
        if (keep(session)) continue;
        DownloadTask task;
        if (store.load(session, task)) {
            // The record's folder is searched too, so its partial file goes with it.
            scanned.push_back(task.folder);
        }
        store.remove(session);
        removed.push_back(store.recordPath(session));
    }
    for (const std::string& path : scanned) {
        std::string error;
        std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(path, error, false);
        if (!folder) continue;
        for (const std::string& name : entriesOf(path)) {
            const std::string session = sessionOfPartialFile(name);
            if (session.empty() || keep(session)) continue;
            if (folder->removeFile(name)) removed.push_back(folder->pathOf(name));
        }
    }
    return removed;
}

}  // namespace kestrup_services
