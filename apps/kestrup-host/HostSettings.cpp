#include "HostSettings.h"

#include <limits>
#include <map>
#include <set>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QUrl>
#include <QVariant>

#include "FeedSignature.h"
#include "host/CorvanePath.h"

namespace kestrup_host {
namespace {

const char* const kUserDataVariable = "%USER_DATA%";

const std::set<std::string> kComponentKeys = {"InactivityTimeout", "DownloadRetries", "DownloadRetryInterval",
                                              "CheckForUpdateInterval", "InstallRetries"};
const std::set<std::string> kHostKeys = {"RegistryFile", "FeedUrl",      "ReportUrl",      "DataFolder",
                                         "LogFile",      "StallTimeout", "ConnectTimeout", "FeedTimeout",
                                         "MaxFileSize",  "MaxBytesPerSecond", "Proxy",     "NoProxy",
                                         "CaFile",       "FeedPublicKeys", "HealthCommand", "HealthTimeout",
                                         "RollbackCommand", "InstallWindow"};

// True when `key` is not in `known` but one of them spelled in another case.
bool differsOnlyInCase(const QString& key, const std::set<std::string>& known) {
    if (known.count(key.toStdString())) return false;
    for (const std::string& name : known) {
        if (key.compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

// Keys are case-sensitive, but QSettings on Windows takes a known key spelled in
// another case as that key (the last spelling's value wins). Such keys are found in
// the file's text, and the text without their lines is what the settings are read from.
struct MisspelledKeys {
    QStringList names;  // "Group/Key" as the file spells them
    QByteArray rest;    // the file without those keys' lines
};

MisspelledKeys findMisspelledKeys(const QByteArray& text, const std::map<QString, std::set<std::string>>& groups) {
    MisspelledKeys found;
    QString group;
    const std::set<std::string>* known = nullptr;
    bool continued = false;  // the line before ends with a backslash: its value goes on
    bool dropping = false;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        const bool continuation = continued;
        continued = line.endsWith(QLatin1Char('\\'));
        if (!continuation) {
            dropping = false;
            if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
                group = line.mid(1, line.size() - 2).trimmed();
                const auto entry = groups.find(group);
                known = entry == groups.end() ? nullptr : &entry->second;
            } else if (known && !line.startsWith(QLatin1Char(';')) && line.contains(QLatin1Char('='))) {
                const QString key = line.left(line.indexOf(QLatin1Char('='))).trimmed();
                dropping = differsOnlyInCase(key, *known);
                if (dropping) found.names.append(group + QLatin1Char('/') + key);
            }
        }
        if (!dropping) found.rest += raw + '\n';
    }
    return found;
}

// Reads typed values from the parsed file and collects every problem with them.
class SettingsReader {
public:
    // Reads `parsed`: the configuration file `path` itself, or a copy of it without
    // the lines of the `misspelled` keys.
    SettingsReader(const QString& path, const QString& parsed, const QStringList& misspelled,
                   std::vector<std::string>& problems)
        : m_settings(parsed, QSettings::IniFormat),
          m_folder(QFileInfo(path).absolutePath()),
          m_misspelled(misspelled),
          m_problems(problems) {}

    QSettings& settings() { return m_settings; }

    bool has(const std::string& key) { return m_settings.contains(QString::fromStdString(key)); }

    // The text of a key; a value that QSettings split at commas is joined again.
    std::string text(const std::string& key) {
        const QVariant value = m_settings.value(QString::fromStdString(key));
        if (value.typeId() == QMetaType::QStringList) {
            return value.toStringList().join(QStringLiteral(", ")).trimmed().toStdString();
        }
        return value.toString().trimmed().toStdString();
    }

    // Keys of `group` that are not in `known`.
    void rejectUnknownKeys(const QString& group, const std::set<std::string>& known) {
        m_settings.beginGroup(group);
        QStringList keys = m_settings.childKeys();
        m_settings.endGroup();
        const QString prefix = group + QLatin1Char('/');
        for (const QString& name : m_misspelled) {
            if (name.startsWith(prefix)) keys.append(name.mid(prefix.size()));
        }
        keys.removeDuplicates();
        keys.sort();
        for (const QString& key : keys) {
            if (known.count(key.toStdString()) == 0) {
                problem(group.toStdString() + "/" + key.toStdString(), "is not a known setting");
            }
        }
    }

    void integer(const std::string& key, int64_t minimum, int64_t maximum, int32_t& out) {
        int64_t value = out;
        if (wholeNumber(key, minimum, maximum, value)) out = static_cast<int32_t>(value);
    }
    void integer(const std::string& key, int64_t minimum, int64_t maximum, unsigned& out) {
        int64_t value = out;
        if (wholeNumber(key, minimum, maximum, value)) out = static_cast<unsigned>(value);
    }
    void integer(const std::string& key, uint64_t& out) {
        if (!has(key)) return;
        const std::string value = text(key);
        bool ok = false;
        const qulonglong number = QString::fromStdString(value).toULongLong(&ok);
        if (!ok || value.empty() || value[0] == '+') {
            problem(key, "must be a whole number of bytes (0 for no limit), not '" + value + "'");
            return;
        }
        out = number;
    }

    // A required or optional path; relative to the configuration file's folder.
    bool path(const std::string& key, bool required, std::string& out) {
        if (!has(key)) {
            if (required) problem(key, "is missing");
            return false;
        }
        const std::string value = text(key);
        if (value.empty()) {
            if (required) problem(key, "is empty");
            return false;
        }
        if (!resolvePath(value, out)) {
            problem(key, "cannot be expanded: '" + value + "'");
            return false;
        }
        return true;
    }

    // An http or https URL; `allowFile` also takes file URLs and plain paths
    // (made into file URLs).
    bool url(const std::string& key, bool required, bool allowFile, std::string& out) {
        if (!has(key) || text(key).empty()) {
            if (required) problem(key, has(key) ? "is empty" : "is missing");
            return false;
        }
        const std::string value = text(key);
        const QUrl parsed(QString::fromStdString(value), QUrl::StrictMode);
        const QString scheme = parsed.scheme().toLower();
        const std::string accepted = allowFile ? "an http, https or file URL, or a path" : "an http or https URL";
        if (scheme.isEmpty() && allowFile) {
            std::string resolved;
            if (!resolvePath(value, resolved)) {
                problem(key, "cannot be expanded: '" + value + "'");
                return false;
            }
            out = QUrl::fromLocalFile(QString::fromStdString(resolved)).toString(QUrl::FullyEncoded).toStdString();
            return true;
        }
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
            if (!parsed.isValid() || parsed.host().isEmpty()) {
                problem(key, "is not a valid URL: '" + value + "'");
                return false;
            }
            out = value;
            return true;
        }
        if (scheme == QLatin1String("file") && allowFile) {
            if (!parsed.isValid() || !QDir::isAbsolutePath(parsed.toLocalFile())) {
                problem(key, "must name an absolute path: '" + value + "'");
                return false;
            }
            out = value;
            return true;
        }
        problem(key, "must be " + accepted + ", not '" + value + "'");
        return false;
    }

    bool resolvePath(const std::string& value, std::string& out) const {
        if (value.find(kUserDataVariable) != std::string::npos) {
            out = CorvanePath(value).getCanonicalPath();
            return !out.empty();
        }
        out = QDir::cleanPath(m_folder.absoluteFilePath(QString::fromStdString(value))).toStdString();
        return true;
    }

    // A list of trusted feed keys: each the key itself (base64) or the path of a
    // key file. A bad entry is a problem, never skipped: that would quietly trust
    // fewer keys than meant, or none.
    void feedKeys(const std::string& key, std::vector<std::string>& out) {
        if (!has(key)) return;
        QStringList entries = m_settings.value(QString::fromStdString(key)).toStringList();
        if (entries.size() == 1) entries = entries.front().split(QLatin1Char(','));
        for (const QString& entry : entries) {
            const std::string text = entry.trimmed().toStdString();
            if (text.empty()) continue;
            kestrup_services::FeedPublicKey parsed;
            std::string error;
            if (kestrup_services::parseFeedPublicKey(text, parsed, error)) {
                out.push_back(text);
                continue;
            }
            std::string path;
            if (!resolvePath(text, path) || !kestrup_services::loadFeedPublicKey(path, parsed, error)) {
                problem(key, "has an entry that is not usable: " + (path.empty() ? text : error));
                continue;
            }
            out.push_back(path);
        }
        if (out.empty()) problem(key, "is set but names no key");
    }

    // A program with its arguments, split as a shell would (quotes group); a
    // program given with a folder is taken from the configuration file's folder.
    void command(const std::string& key, std::vector<std::string>& out) {
        if (!has(key)) return;
        const std::string value = text(key);
        const QStringList parts = QProcess::splitCommand(QString::fromStdString(value));
        if (parts.isEmpty()) {
            problem(key, "must name a program (and its arguments), not '" + value + "'");
            return;
        }
        std::vector<std::string> words;
        for (const QString& part : parts) words.push_back(part.toStdString());
        if (words.front().find_first_of("/\\") != std::string::npos && !resolvePath(words.front(), words.front())) {
            problem(key, "cannot be expanded: '" + value + "'");
            return;
        }
        out = words;
    }

    void window(const std::string& key, AfterUpdateSettings& out) {
        if (!has(key)) return;
        const std::string value = text(key);
        std::string error;
        if (!InstallWindow::parse(value, out.installWindow, error)) {
            problem(key, error + ", not '" + value + "'");
            return;
        }
        out.hasInstallWindow = true;
    }

    void problem(const std::string& key, const std::string& text) { m_problems.push_back(key + " " + text); }

private:
    bool wholeNumber(const std::string& key, int64_t minimum, int64_t maximum, int64_t& out) {
        if (!has(key)) return false;
        const std::string value = text(key);
        bool ok = false;
        const qlonglong number = QString::fromStdString(value).toLongLong(&ok);
        if (!ok || value.empty() || value[0] == '+' || number < minimum || number > maximum) {
            problem(key, "must be a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum) +
                             ", not '" + value + "'");
            return false;
        }
        out = number;
        return true;
    }

    QSettings m_settings;
    const QDir m_folder;
    const QStringList m_misspelled;
    std::vector<std::string>& m_problems;
};

// The file itself: present, a readable file, and INI.
bool checkFile(const QFileInfo& info, std::vector<std::string>& problems) {
    const std::string name = info.filePath().toStdString();
    if (!info.exists()) {
        problems.push_back("configuration file " + name + " does not exist");
    } else if (info.isDir()) {
        problems.push_back("configuration file " + name + " is a folder");
    } else if (!info.isReadable()) {
        problems.push_back("configuration file " + name + " cannot be read");
    } else {
        return true;
    }
    return false;
}

}  // namespace

bool loadHostSettings(const std::string& configFile, HostSettings& settings, std::vector<std::string>& problems) {
    const std::size_t problemsBefore = problems.size();
    const QFileInfo info(QString::fromStdString(configFile));
    if (!checkFile(info, problems)) return false;

    const QString path = QDir::cleanPath(info.absoluteFilePath());
    QFile file(path);
    const MisspelledKeys misspelled =
        findMisspelledKeys(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(),
                           {{QStringLiteral("Kestrup"), kComponentKeys}, {QStringLiteral("Host"), kHostKeys}});
    QTemporaryFile rest;
    if (!misspelled.names.isEmpty() && (!rest.open() || rest.write(misspelled.rest) != misspelled.rest.size() ||
                                        !rest.flush())) {
        problems.push_back("configuration file " + path.toStdString() +
                           " cannot be read: no temporary copy of it could be written");
        return false;
    }
    SettingsReader reader(path, misspelled.names.isEmpty() ? path : rest.fileName(), misspelled.names, problems);
    // Groups are parsed when first read; read them all so a format error shows now.
    (void)reader.settings().allKeys();
    if (reader.settings().status() == QSettings::FormatError) {
        problems.push_back("configuration file " + path.toStdString() + " is not a valid INI file");
        return false;
    }
    if (reader.settings().status() == QSettings::AccessError) {
        problems.push_back("configuration file " + path.toStdString() + " cannot be read");
        return false;
    }

    HostSettings loaded;
    loaded.configFile = path.toStdString();

    const int64_t int32Max = std::numeric_limits<int32_t>::max();
    reader.rejectUnknownKeys(QStringLiteral("Kestrup"), kComponentKeys);
    reader.integer("Kestrup/InactivityTimeout", std::numeric_limits<int32_t>::min(), int32Max,
                   loaded.component.inactivityTimeout);
    reader.integer("Kestrup/DownloadRetries", 0, int32Max, loaded.component.downloadRetries);
    reader.integer("Kestrup/DownloadRetryInterval", 0, int32Max, loaded.component.downloadRetryInterval);
    reader.integer("Kestrup/CheckForUpdateInterval", -1, int32Max, loaded.component.checkForUpdateInterval);
    reader.integer("Kestrup/InstallRetries", 0, int32Max, loaded.component.installRetries);

    if (!reader.has("Identities/DomainID") || reader.text("Identities/DomainID").empty()) {
        reader.problem("Identities/DomainID", "is missing (it names the workflow store)");
    } else {
        loaded.domainId = reader.text("Identities/DomainID");
    }

    reader.rejectUnknownKeys(QStringLiteral("Host"), kHostKeys);
    reader.path("Host/RegistryFile", true, loaded.registryFile);
    reader.url("Host/FeedUrl", true, true, loaded.feedUrl);
    reader.url("Host/ReportUrl", false, false, loaded.reportUrl);
    if (reader.has("Host/DataFolder") && !reader.text("Host/DataFolder").empty()) {
        reader.path("Host/DataFolder", true, loaded.dataFolder);
    } else if (!reader.resolvePath(std::string(kUserDataVariable) + "/kestrup-host", loaded.dataFolder)) {
        reader.problem("Host/DataFolder", "is not set and the per-user data folder is unknown (HOME is not set)");
    }
    if (reader.has("Host/LogFile") && !reader.text("Host/LogFile").empty()) {
        reader.path("Host/LogFile", true, loaded.logFile);
    } else if (!loaded.dataFolder.empty()) {
        loaded.logFile = loaded.dataFolder + "/kestrup-host.log";
    }

    reader.integer("Host/StallTimeout", 0, 86400, loaded.download.stallTimeoutSeconds);
    reader.integer("Host/ConnectTimeout", 0, 3600, loaded.download.connectTimeoutSeconds);
    // The component waits 30 seconds for the backend's answer; the feed must be read
    // (or given up) before that.
    reader.integer("Host/FeedTimeout", 1, 29, loaded.backend.requestTimeoutSeconds);
    reader.integer("Host/MaxFileSize", loaded.download.maxFileSizeBytes);
    reader.integer("Host/MaxBytesPerSecond", loaded.download.maxBytesPerSecond);
    if (reader.has("Host/Proxy")) loaded.download.proxyUrl = reader.text("Host/Proxy");
    if (reader.has("Host/NoProxy")) {
        std::string hosts;
        for (char c : reader.text("Host/NoProxy")) {
            if (c != ' ' && c != '\t') hosts += c;
        }
        loaded.download.noProxy = hosts;
    }
    std::string caFile;
    if (reader.path("Host/CaFile", false, caFile)) {
        if (!QFileInfo(QString::fromStdString(caFile)).isFile()) {
            reader.problem("Host/CaFile", "names no readable file: " + caFile);
        }
        loaded.download.caInfo = caFile;
    }

    reader.feedKeys("Host/FeedPublicKeys", loaded.backend.feedTrust.publicKeys);
    reader.command("Host/HealthCommand", loaded.afterUpdate.healthCommand);
    reader.integer("Host/HealthTimeout", 1, 86400, loaded.afterUpdate.healthTimeoutSeconds);
    reader.command("Host/RollbackCommand", loaded.afterUpdate.rollbackCommand);
    reader.window("Host/InstallWindow", loaded.afterUpdate);
    loaded.holdListFile = loaded.dataFolder + "/hold-list";
    loaded.backend.holdListFile = loaded.holdListFile;
    loaded.backend.feedTrust.serialFolder = loaded.dataFolder + "/feed-serials";

    loaded.backend.feedUrl = loaded.feedUrl;
    loaded.backend.reportUrl = loaded.reportUrl;
    loaded.backend.proxyUrl = loaded.download.proxyUrl;
    loaded.backend.noProxy = loaded.download.noProxy;
    loaded.backend.caInfo = loaded.download.caInfo;
    loaded.backend.connectTimeoutSeconds = std::min(loaded.download.connectTimeoutSeconds == 0
                                                        ? loaded.backend.connectTimeoutSeconds
                                                        : loaded.download.connectTimeoutSeconds,
                                                    loaded.backend.requestTimeoutSeconds);

    if (problems.size() != problemsBefore) return false;
    settings = loaded;
    return true;
}

}  // namespace kestrup_host
