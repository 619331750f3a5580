#include "PluginLocator.h"

#include <QDir>
#include <QFileInfo>

#ifndef KESTRUP_PLUGIN_FILE_NAME
#define KESTRUP_PLUGIN_FILE_NAME "libkestrup.so"
#endif
#ifndef KESTRUP_INSTALLED_PLUGIN_FOLDER
#define KESTRUP_INSTALLED_PLUGIN_FOLDER "../lib/kestrup/plugins"
#endif

namespace kestrup_host {
namespace {

std::string inFolder(const std::string& folder, const std::string& relative) {
    const QDir base(QString::fromStdString(folder));
    return QDir::cleanPath(base.absoluteFilePath(QString::fromStdString(relative))).toStdString();
}

bool isFile(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).isFile();
}

}  // namespace

std::vector<std::string> pluginCandidates(const std::string& programFolder) {
    const std::string name = KESTRUP_PLUGIN_FILE_NAME;
    return {inFolder(programFolder, name), inFolder(programFolder, "../lib/" + name),
            inFolder(programFolder, std::string(KESTRUP_INSTALLED_PLUGIN_FOLDER) + "/" + name)};
}

bool locatePlugin(const std::string& explicitPath, const std::string& programFolder, std::string& path,
                  std::string& error) {
    if (!explicitPath.empty()) {
        const std::string absolute = QFileInfo(QString::fromStdString(explicitPath)).absoluteFilePath().toStdString();
        if (!isFile(absolute)) {
            error = "plug-in module " + absolute + " does not exist";
            return false;
        }
        path = absolute;
        return true;
    }
    std::string looked;
    for (const std::string& candidate : pluginCandidates(programFolder)) {
        if (isFile(candidate)) {
            path = candidate;
            return true;
        }
        looked += "\n  " + candidate;
    }
    error = "no plug-in module found (give one with --plugin); looked at:" + looked;
    return false;
}

}  // namespace kestrup_host
