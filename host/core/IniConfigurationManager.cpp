#include "host/ConfigurationManager.h"

#include <map>
#include <memory>
#include <mutex>

#include <QDateTime>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "host/LogLine.h"

namespace {

// When a file was last seen malformed. QSettings keeps one parsed copy of each file
// per process and parses a group only the first time it is read, so a second
// QSettings on an unchanged file reports no error: the verdict is remembered here
// until the file changes.
struct FileStamp {
    qint64 size = -1;
    qint64 modifiedMs = -1;
    bool operator==(const FileStamp& other) const {
        return size == other.size && modifiedMs == other.modifiedMs;
    }
};

FileStamp stampOf(const QFileInfo& info) {
    return FileStamp{info.size(), info.lastModified().toMSecsSinceEpoch()};
}

std::mutex g_malformedMutex;
std::map<QString, FileStamp> g_malformedFiles;  // by absolute path; guarded by g_malformedMutex

// Combines this parse's verdict with what an earlier parse in the process found.
bool isMalformed(const QFileInfo& info, bool formatErrorNow) {
    std::lock_guard<std::mutex> lock(g_malformedMutex);
    const QString key = info.absoluteFilePath();
    if (formatErrorNow) {
        g_malformedFiles[key] = stampOf(info);
        return true;
    }
    auto known = g_malformedFiles.find(key);
    if (known == g_malformedFiles.end()) {
        return false;
    }
    if (known->second == stampOf(info)) {
        return true;
    }
    g_malformedFiles.erase(known);
    return false;
}

}  // namespace

struct IniConfigurationManager::Impl {
    explicit Impl(const std::string& iniPath) : path(QString::fromStdString(iniPath)) {}

    // Builds a fresh QSettings on the file and records whether it could be read.
    // Called with `mutex` held.
    void open() {
        settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
        // setValue posts a deferred write to the object's thread; with an event
        // loop there it would run outside `mutex`. set() writes through itself, so
        // the object gets no thread and such events are dropped.
        settings->moveToThread(nullptr);
        // Groups are parsed when first read; read them all now so that a format
        // error shows here and not halfway through the run.
        (void)settings->allKeys();
        errorText.clear();
        const QFileInfo info(path);
        if (info.exists() && info.isDir()) {
            errorText = "configuration file " + path.toStdString() + " is a folder";
        } else if (settings->status() == QSettings::AccessError) {
            errorText = "configuration file " + path.toStdString() + " cannot be read";
        } else if (info.exists() && isMalformed(info, settings->status() == QSettings::FormatError)) {
            errorText = "configuration file " + path.toStdString() + " is not a valid INI file";
        }
        if (!errorText.empty()) {
            KS_LOG(Logger::getDefaultInstance(), "ConfigurationManager: " + errorText);
        }
    }

    const QString path;
    mutable std::mutex mutex;
    std::unique_ptr<QSettings> settings;  // guarded by mutex
    std::string errorText;                // guarded by mutex; empty while the file is readable
};

IniConfigurationManager::IniConfigurationManager(const std::string& iniPath) : m_impl(new Impl(iniPath)) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->open();
}

IniConfigurationManager::~IniConfigurationManager() {
    delete m_impl;
}

int IniConfigurationManager::reload() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->open();
    return m_impl->errorText.empty() ? 0 : 1;
}

int IniConfigurationManager::set(const std::string& key, const std::string& value, int /*flags*/) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    // QSettings writes the whole file back (comments are not kept). Writing back a
    // file that could not be read would replace its contents, so that is refused.
    if (!m_impl->errorText.empty() || key.empty()) {
        return 1;
    }
    m_impl->settings->setValue(QString::fromStdString(key), QString::fromStdString(value));
    m_impl->settings->sync();
    if (m_impl->settings->status() != QSettings::NoError) {
        KS_LOG(Logger::getDefaultInstance(),
               "ConfigurationManager: could not write " + m_impl->path.toStdString());
        return 1;
    }
    return 0;
}

int IniConfigurationManager::get(const std::string& key, std::string& value, int /*flags*/) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const QString name = QString::fromStdString(key);
    if (key.empty() || !m_impl->settings->contains(name)) {
        return 1;
    }
    const QVariant stored = m_impl->settings->value(name);
    // An unquoted value with commas reads back as a list; give it back as one text,
    // joined the way QSettings itself writes lists.
    if (stored.typeId() == QMetaType::QStringList) {
        value = stored.toStringList().join(QStringLiteral(", ")).toStdString();
    } else {
        value = stored.toString().toStdString();
    }
    return 0;
}

bool IniConfigurationManager::isReadable() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->errorText.empty();
}

std::string IniConfigurationManager::errorText() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->errorText;
}
