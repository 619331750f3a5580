#pragma once
// The last failure of the current update workflow, with its time, kept in a small
// JSON file in the data folder so that a later "status" can show it. Replaced
// durably; a file that cannot be read counts as no failure, with the reason.
#include <string>

namespace kestrup_host {

struct FailureEntry {
    std::string time;  // UTC, "2026-12-01T02:00:00Z"
    std::string text;
};

class LastFailure {
public:
    explicit LastFailure(const std::string& path);

    // False with `error` when it cannot be written.
    bool record(const std::string& text, std::string& error) const;
    // Forgets it: a new workflow starts, or the update ended well.
    bool clear(std::string& error) const;
    // False when none is recorded; `error` says why when the file is unreadable.
    bool load(FailureEntry& entry, std::string& error) const;

private:
    const std::string m_path;
};

}  // namespace kestrup_host
