#include "util/common/UserDataFolder.h"

#include <QDir>
#include <QString>

#include "host/CorvanePath.h"
#include "host/LogLine.h"
#include "host/Logger.h"

std::string UserDataFolder::s_cachedPath;

std::string UserDataFolder::get() {
    if (!s_cachedPath.empty()) return s_cachedPath;
    s_cachedPath = CorvanePath("%USER_DATA%/Corvane/Brenmark/").getCanonicalPath();
    // An unresolvable path stays uncached, so the next call tries again.
    if (s_cachedPath.empty()) return s_cachedPath;

    // QDir(path).exists() is false for a file in the folder's place too, which mkpath
    // then fails on. The creating QDir stands on the empty (current) path; the cached
    // path is absolute, so that base plays no part.
    const QString path = QString::fromStdString(s_cachedPath);
    if (!QDir(path).exists() && !QDir(QString{}).mkpath(path))
        KS_LOG(Logger::getDefaultInstance(), "UserDataFolder: Could not create " + s_cachedPath);
    return s_cachedPath;
}

void UserDataFolder::resetForTesting() { s_cachedPath.clear(); }
