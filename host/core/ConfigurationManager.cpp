#include "host/ConfigurationManager.h"

#include <atomic>

namespace {
std::atomic<ConfigurationManager*> g_installedConfiguration{nullptr};
}  // namespace

ConfigurationManager::~ConfigurationManager() = default;

ConfigurationManager* ConfigurationManager::getDefaultInstance() {
    return g_installedConfiguration.load(std::memory_order_acquire);
}

void ConfigurationManager::setDefaultInstance(ConfigurationManager* manager) {
    g_installedConfiguration.store(manager, std::memory_order_release);
}
