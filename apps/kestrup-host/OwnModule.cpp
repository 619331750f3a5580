#include "OwnModule.h"

#include <QDir>
#include <QFileInfo>

#ifndef KESTRUP_INSTALLED_LIBRARY_FOLDER
#define KESTRUP_INSTALLED_LIBRARY_FOLDER "../lib"
#endif

namespace kestrup_host {

OwnModule::OwnModule(const std::string& fileName, const std::string& programFolder)
    : m_fileName(fileName), m_programFolder(programFolder) {}

std::vector<std::string> OwnModule::candidates() const {
    const QDir base(QString::fromStdString(m_programFolder));
    std::vector<std::string> paths;
    for (const std::string& folder : {std::string("."), std::string("../lib"), std::string(KESTRUP_INSTALLED_LIBRARY_FOLDER)}) {
        const std::string path =
            QDir::cleanPath(base.absoluteFilePath(QString::fromStdString(folder + "/" + m_fileName))).toStdString();
        if (paths.empty() || paths.back() != path) paths.push_back(path);
    }
    return paths;
}

std::string OwnModule::locate(std::string& error) const {
    std::string looked;
    for (const std::string& candidate : candidates()) {
        if (QFileInfo(QString::fromStdString(candidate)).isFile()) return candidate;
        looked += "\n  " + candidate;
    }
    error = "the module " + m_fileName + " is missing; looked at:" + looked;
    return std::string();
}

QFunctionPointer OwnModule::function(const char* symbol, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_library.isLoaded()) {
        const std::string path = locate(error);
        if (path.empty()) return nullptr;
        m_library.setFileName(QString::fromStdString(path));
        if (!m_library.load()) {
            error = "the module " + path + " cannot be loaded: " + m_library.errorString().toStdString();
            return nullptr;
        }
    }
    const QFunctionPointer found = m_library.resolve(symbol);
    if (found == nullptr) {
        error = "the module " + m_library.fileName().toStdString() + " has no function " + symbol;
    }
    return found;
}

}  // namespace kestrup_host
