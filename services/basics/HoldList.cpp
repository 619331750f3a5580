#include "HoldList.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "UpdateFeed.h"
#include "bus/UUId.h"
#include "platform/DurableFile.h"

namespace kestrup_services {

HoldList::HoldList(const std::string& path) : m_path(path) {}

bool HoldList::parseRelease(const std::string& application, const std::string& version, HeldRelease& release) {
    uint64_t number = 0;
    if (!UUId::checkValid(application) || !parseWholeNumber(version, number) || number > UINT32_MAX) return false;
    release = HeldRelease(UUId(application).getValue(), static_cast<uint32_t>(number));
    return true;
}

HoldList::Load HoldList::load(std::set<HeldRelease>& held, std::string& error) const {
    held.clear();
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::u8path(m_path), ignored) && !ignored) return Load::Missing;
    std::string text;
    if (!platform::readWholeFile(m_path, text)) {
        error = "cannot read " + m_path;
        return Load::Unreadable;
    }
    std::istringstream lines(text);
    std::string line;
    std::set<HeldRelease> read;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream fields(line);
        std::string application, version, extra;
        if (!(fields >> application)) continue;  // a blank line
        HeldRelease release;
        if (!(fields >> version) || (fields >> extra) || !parseRelease(application, version, release)) {
            error = m_path + " line " + std::to_string(number) + " is not \"APPLICATION-ID VERSION\"";
            return Load::Unreadable;
        }
        read.insert(release);
    }
    held = read;
    return Load::Read;
}

bool HoldList::add(const HeldRelease& release, std::string& error) const {
    std::set<HeldRelease> held;
    if (load(held, error) == Load::Unreadable) return false;
    held.insert(release);
    return save(held, error);
}

bool HoldList::remove(const HeldRelease& release, std::string& error) const {
    std::set<HeldRelease> held;
    if (load(held, error) == Load::Unreadable) return false;
    held.erase(release);
    return save(held, error);
}

bool HoldList::save(const std::set<HeldRelease>& held, std::string& error) const {
    std::string text;
    for (const HeldRelease& release : held) text += release.first + " " + std::to_string(release.second) + "\n";
    if (platform::replaceFileDurably(m_path, text)) return true;
    error = "cannot write " + m_path;
    return false;
}

std::set<HeldRelease> dropHeldReleases(UpdateFeed& feed, const std::set<HeldRelease>& held) {
    std::set<HeldRelease> dropped;
    for (auto& application : feed.applications) {
        std::vector<FeedRelease>& releases = application.second;
        for (auto release = releases.begin(); release != releases.end();) {
            const HeldRelease key(application.first, release->version);
            if (held.count(key) == 0) {
                ++release;
                continue;
            }
            dropped.insert(key);
            release = releases.erase(release);
        }
    }
    return dropped;
}

}  // namespace kestrup_services
