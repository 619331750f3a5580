#pragma once
// Releases that must not be offered again: (application id, version) pairs kept in
// one small text file in the host's data folder, a line "APPLICATION-ID VERSION"
// each. The file is replaced durably (temporary file, synced, renamed), so a crash
// leaves the old list or the new one.
//
// Used by one thread at a time; a reader never sees a half-written file.
#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace kestrup_services {

// An application id in canonical form and a version number.
typedef std::pair<std::string, uint32_t> HeldRelease;

class HoldList {
public:
    explicit HoldList(const std::string& path);

    const std::string& path() const { return m_path; }

    enum class Load { Read, Missing, Unreadable };
    // Missing (empty `held`) when there is no file; Unreadable with `error` when
    // the file cannot be read or holds a line that is no release. `held` is then
    // empty: the caller decides how to say so.
    Load load(std::set<HeldRelease>& held, std::string& error) const;
    // Adds or removes one release; false with `error` when the list cannot be read
    // or written (an unreadable list is never overwritten).
    bool add(const HeldRelease& release, std::string& error) const;
    bool remove(const HeldRelease& release, std::string& error) const;

    // "3f0c6a52-... 2" with a canonical id; false when the text is no release.
    static bool parseRelease(const std::string& application, const std::string& version, HeldRelease& release);

private:
    bool save(const std::set<HeldRelease>& held, std::string& error) const;

    const std::string m_path;
};

struct UpdateFeed;

// Removes the held releases from `feed`, so that the next newer one is offered in
// their place; returns those it removed.
std::set<HeldRelease> dropHeldReleases(UpdateFeed& feed, const std::set<HeldRelease>& held);

}  // namespace kestrup_services
