#include "LastFailure.h"

#include <filesystem>
#include <system_error>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/DurableFile.h"

namespace kestrup_host {

LastFailure::LastFailure(const std::string& path) : m_path(path) {}

bool LastFailure::record(const std::string& text, std::string& error) const {
    QJsonObject entry;
    entry.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    entry.insert("text", QString::fromStdString(text));
    if (platform::replaceFileDurably(m_path, QJsonDocument(entry).toJson().toStdString())) return true;
    error = "cannot write " + m_path;
    return false;
}

bool LastFailure::clear(std::string& error) const {
    std::error_code failed;
    std::filesystem::remove(std::filesystem::u8path(m_path), failed);
    if (!failed) return true;
    error = "cannot remove " + m_path + ": " + failed.message();
    return false;
}

bool LastFailure::load(FailureEntry& entry, std::string& error) const {
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::u8path(m_path), ignored)) return false;  // none recorded
    std::string content;
    if (!platform::readWholeFile(m_path, content)) {
        error = "cannot read " + m_path;
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(content)).object();
    if (!object.value("time").isString() || !object.value("text").isString()) {
        error = m_path + " is not a failure record";
        return false;
    }
    entry.time = object.value("time").toString().toStdString();
    entry.text = object.value("text").toString().toStdString();
    return true;
}

}  // namespace kestrup_host
