#include "TransferStack.h"

#include <map>
#include <memory>
#include <mutex>

#include <QCoreApplication>

#ifndef KESTRUP_TRANSFER_MODULE_FILE_NAME
#define KESTRUP_TRANSFER_MODULE_FILE_NAME "libkestrup_services.so"
#endif

namespace kestrup_host {

const char* transferModuleFileName() {
    return KESTRUP_TRANSFER_MODULE_FILE_NAME;
}

OwnModule& ownModule(const std::string& fileName) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<OwnModule>> modules;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<OwnModule>& module = modules[fileName];
    if (!module) module = std::make_unique<OwnModule>(fileName, QCoreApplication::applicationDirPath().toStdString());
    return *module;
}

kestrup_services::TransferModule* transferModule(std::string& error) {
    const QFunctionPointer factory = ownModule(transferModuleFileName()).function(KESTRUP_TRANSFER_MODULE_FACTORY, error);
    if (factory == nullptr) return nullptr;
    return reinterpret_cast<KestrupTransferModuleFactory>(factory)();
}

bool transferModulePresent(std::string& error) {
    return !ownModule(transferModuleFileName()).locate(error).empty();
}

}  // namespace kestrup_host
