#include "InstallWindow.h"

#include <regex>

#include <QDateTime>

namespace kestrup_host {
namespace {

const int kMinutesPerDay = 24 * 60;

std::string clockText(int minutes) {
    const std::string hours = std::to_string(minutes / 60);
    const std::string rest = std::to_string(minutes % 60);
    return (hours.size() < 2 ? "0" : "") + hours + ":" + (rest.size() < 2 ? "0" : "") + rest;
}

}  // namespace

bool InstallWindow::parse(const std::string& text, InstallWindow& window, std::string& error) {
    static const std::regex form("^([0-9]{2}):([0-9]{2})-([0-9]{2}):([0-9]{2})$");
    std::smatch parts;
    if (!std::regex_match(text, parts, form)) {
        error = "must be a time span HH:MM-HH:MM such as 02:00-05:00";
        return false;
    }
    const int hours[2] = {std::stoi(parts[1]), std::stoi(parts[3])};
    const int minutes[2] = {std::stoi(parts[2]), std::stoi(parts[4])};
    for (int i = 0; i < 2; ++i) {
        if (hours[i] > 23 || minutes[i] > 59) {
            error = "holds a time that does not exist (hours 00 to 23, minutes 00 to 59)";
            return false;
        }
    }
    InstallWindow parsed;
    parsed.m_start = hours[0] * 60 + minutes[0];
    parsed.m_end = hours[1] * 60 + minutes[1];
    if (parsed.m_start == parsed.m_end) {
        error = "starts and ends at the same time";
        return false;
    }
    window = parsed;
    return true;
}

bool InstallWindow::contains(int minuteOfDay) const {
    if (m_start < m_end) return minuteOfDay >= m_start && minuteOfDay < m_end;
    return minuteOfDay >= m_start || minuteOfDay < m_end;  // over midnight
}

QDateTime InstallWindow::nextOpening(const QDateTime& now) const {
    const int minute = now.time().hour() * 60 + now.time().minute();
    if (contains(minute)) return now;
    const int wait = (m_start - minute + kMinutesPerDay) % kMinutesPerDay;
    const QDateTime startOfMinute(now.date(), QTime(now.time().hour(), now.time().minute()), now.timeSpec());
    return startOfMinute.addSecs(static_cast<qint64>(wait) * 60);
}

std::string InstallWindow::text() const {
    return clockText(m_start) + "-" + clockText(m_end);
}

}  // namespace kestrup_host
