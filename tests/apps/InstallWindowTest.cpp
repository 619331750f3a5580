// The install window: which minutes lie inside, at both edges and over midnight,
// and when a window that is closed opens next.
#include <string>

#include <QDateTime>
#include <gtest/gtest.h>

#include "InstallWindow.h"

namespace {

using kestrup_host::InstallWindow;

TEST(InstallWindow, OpensAtItsStartClosesAtItsEndAndRunsOverMidnight) {
    struct Case {
        const char* window;
        const char* now;          // local time on 2026-12-06
        const char* nextOpening;  // "" when open at `now`
    };
    const Case cases[] = {
        {"02:00-05:00", "02:00", ""},                   // the start belongs to it
        {"02:00-05:00", "04:59", ""},
        {"02:00-05:00", "05:00", "2026-12-07T02:00"},   // the end does not
        {"02:00-05:00", "01:59", "2026-12-06T02:00"},
        {"22:00-02:00", "23:30", ""},                   // over midnight
        {"22:00-02:00", "00:00", ""},
        {"22:00-02:00", "01:59", ""},
        {"22:00-02:00", "02:00", "2026-12-06T22:00"},
        {"22:00-02:00", "21:59", "2026-12-06T22:00"},
    };
    for (const Case& c : cases) {
        InstallWindow window;
        std::string error;
        ASSERT_TRUE(InstallWindow::parse(c.window, window, error)) << c.window << ": " << error;
        EXPECT_EQ(c.window, window.text());
        const QDateTime now(QDate(2026, 12, 6), QTime::fromString(QString::fromLatin1(c.now), QStringLiteral("HH:mm")),
                            Qt::LocalTime);
        const QDateTime opening = window.nextOpening(now);
        const std::string expected = *c.nextOpening ? c.nextOpening : now.toString(Qt::ISODate).left(16).toStdString();
        EXPECT_EQ(expected, opening.toString(Qt::ISODate).left(16).toStdString()) << c.window << " at " << c.now;
        EXPECT_EQ(!*c.nextOpening, window.contains(now.time().hour() * 60 + now.time().minute()))
            << c.window << " at " << c.now;
    }
}

}  // namespace
