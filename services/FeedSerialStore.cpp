#include "FeedSerialStore.h"

#include <cerrno>
#include <memory>
#include <sstream>

#include <sys/stat.h>

#include "DestinationFolder.h"
#include "FeedSignature.h"
#include "Sha256.h"

namespace kestrup_services {

FeedSerialStore::FeedSerialStore(const std::string& folder) : m_folder(folder) {}

std::string FeedSerialStore::recordName(const std::string& feedUrl) {
    Sha256 hash;
    hash.update(feedUrl.data(), feedUrl.size());
    return hash.finishHex() + ".serial";
}

std::string FeedSerialStore::recordPath(const std::string& feedUrl) const {
    return m_folder + "/" + recordName(feedUrl);
}

FeedSerialStore::Lookup FeedSerialStore::load(const std::string& feedUrl, FeedSerialRecord& record,
                                              std::string& error) const {
    const std::string path = recordPath(feedUrl);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) return Lookup::NotSeen;
    std::string text;
    if (!readSmallFile(path, text, error)) return Lookup::Unreadable;
    // "serial N\nsha256 HEX\nurl URL\n"; the URL only helps a person reading it.
    std::istringstream lines(text);
    std::string serialKey, serialText, hashKey, hash;
    lines >> serialKey >> serialText >> hashKey >> hash;
    FeedSerialRecord read;
    if (serialKey != "serial" || !parseWholeNumber(serialText, read.serial) || hashKey != "sha256" ||
        !isSha256Hex(hash)) {
        error = path + " is not a serial record";
        return Lookup::Unreadable;
    }
    read.sha256 = hash;
    record = read;
    return Lookup::Found;
}

bool FeedSerialStore::save(const std::string& feedUrl, const FeedSerialRecord& record, std::string& error) const {
    std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(m_folder, error);
    return folder && folder->replaceFile(recordName(feedUrl),
                                         "serial " + std::to_string(record.serial) + "\nsha256 " + record.sha256 +
                                             "\nurl " + feedUrl + "\n",
                                         true, error);
}

}  // namespace kestrup_services
