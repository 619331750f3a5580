#pragma once
// The hours of the day, local time, in which an unattended host may start an
// installer: "HH:MM-HH:MM", start inclusive, end exclusive. A window whose end is
// not after its start runs over midnight ("22:00-02:00").
#include <string>

class QDateTime;

namespace kestrup_host {

class InstallWindow {
public:
    // False with `error` saying what is wrong with `text`.
    static bool parse(const std::string& text, InstallWindow& window, std::string& error);

    // Whether the minute of the day (0 to 1439) lies inside.
    bool contains(int minuteOfDay) const;
    // `now` when it is inside, else the next opening after it (local time).
    QDateTime nextOpening(const QDateTime& now) const;
    // As configured, "02:00-05:00".
    std::string text() const;

private:
    int m_start = 0;  // minutes after midnight
    int m_end = 0;
};

}  // namespace kestrup_host
