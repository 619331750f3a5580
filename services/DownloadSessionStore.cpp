#include "DownloadSessionStore.h"

#include <cerrno>
#include <filesystem>
#include <map>
#include <sstream>

#include "DestinationFolder.h"
#include "FileIo.h"
#include "FileNames.h"
#include "bus/UUId.h"

namespace kestrup_services {

namespace {

const std::size_t kMaxRecordBytes = 64 * 1024;
const char* const kRecordVersion = "kestrup-download-record 1";

bool hasLineBreak(const std::string& text) {
    return text.find('\n') != std::string::npos || text.find('\r') != std::string::npos;
}

}  // namespace

DownloadSessionStore::DownloadSessionStore(const std::string& folder) : m_folder(folder) {}

std::string DownloadSessionStore::recordName(const std::string& sessionId) const {
    return "." + sessionId + ".download";
}

bool DownloadSessionStore::save(const DownloadTask& task, std::string& error) {
    if (!enabled()) return true;
    if (!UUId::checkValid(task.sessionId)) {
        error = "invalid session id";
        return false;
    }
    if (hasLineBreak(task.url) || hasLineBreak(task.folder) || hasLineBreak(task.fileName) ||
        hasLineBreak(task.fileHash) || hasLineBreak(task.validator)) {
        error = "a field holds a line break";
        return false;
    }
    std::ostringstream text;
    text << kRecordVersion << "\n"
         << "url=" << task.url << "\n"
         << "folder=" << task.folder << "\n"
         << "name=" << task.fileName << "\n"
         << "hash=" << task.fileHash << "\n"
         << "validator=" << task.validator << "\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(m_folder, error);
    if (!folder) return false;
    return folder->replaceFile(recordName(UUId(task.sessionId).getValue()), text.str(), false, error);
}

bool DownloadSessionStore::load(const std::string& sessionId, DownloadTask& task) {
    if (!enabled() || !UUId::checkValid(sessionId)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string error;
    std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(m_folder, error, false);
    if (!folder) return false;
    const std::string canonical = UUId(sessionId).getValue();
    UniqueFd fd = folder->openOwnRegular(recordName(canonical));
    if (!fd.valid()) return false;

    std::string text;
    char buffer[4096];
    for (;;) {
        const long long n = readSome(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxRecordBytes) return false;
    }

    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kRecordVersion) return false;
    std::map<std::string, std::string> fields;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) return false;
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    DownloadTask loaded;
    loaded.url = fields["url"];
    loaded.folder = fields["folder"];
    loaded.fileName = fields["name"];
    loaded.fileHash = fields["hash"];
    loaded.validator = fields["validator"];  // absent in older records: no resume from bytes
    loaded.sessionId = canonical;
    DownloadFailure code;
    // A record is only trusted as far as a fresh Start would be.
    if (!validateTask(loaded, code).empty() || cleanFileName(loaded.fileName) != loaded.fileName) return false;
    task = loaded;
    return true;
}

std::vector<std::string> DownloadSessionStore::sessions() const {
    std::vector<std::string> found;
    if (!enabled()) return found;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(std::filesystem::u8path(m_folder), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().u8string();
        const std::string suffix = ".download";
        if (name.size() <= suffix.size() + 1 || name[0] != '.' ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string session = name.substr(1, name.size() - suffix.size() - 1);
        if (UUId::checkValid(session)) found.push_back(session);
    }
    return found;
}

void DownloadSessionStore::remove(const std::string& sessionId) {
    if (!enabled() || !UUId::checkValid(sessionId)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string error;
    std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(m_folder, error, false);
    if (folder) folder->removeFile(recordName(UUId(sessionId).getValue()));
}

}  // namespace kestrup_services
