#include "KSPersistentState.h"

#include "bus/Singleton.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

KSPersistentState::KSPersistentState()
    : state(Idle),
      persistence("KSPersistentStateSchema", "", ""),
      keyState("state"),
      keyLastCheckForUpdate("lastCheckForUpdate"),
      keyKsFile("ksFile"),
      keyInstallerFilename("installerFilename"),
      keyRetries("retries"),
      keyInstallerArgs("installerArgs"),
      keySessionId("sessionId"),
      keyServiceOfferingId("serviceOfferingId"),
      keyServiceOfferingVersion("serviceOfferingVersion") {
    bool present = false;
    const int checked = persistence.exists(keyState, present);
    if (checked == 0 && !present) {
        persistence.insert(keyState, static_cast<int32_t>(Idle), true);
        return;
    }
    // A store that cannot be read right now leaves this run Idle, but the saved
    // workflow untouched for the next start.
    if (checked != 0) return;
    // A value that cannot be read leaves the workflow Idle and the stored text as it
    // is. A number outside the known states is kept: the component reports it as
    // such (status 790) rather than silently dropping a workflow it does not know.
    int32_t stored = Idle;
    if (persistence.get(keyState, stored) == 0) state = static_cast<KSState_t>(stored);
}

KSPersistentState::~KSPersistentState() = default;

KSPersistentState::KSState_t KSPersistentState::getState() const { return state; }

void KSPersistentState::setState(KSState_t newState, bool save) {
    state = newState;
    if (newState == Idle) persistence.removeAll(true);
    persistence.insert(keyState, static_cast<int32_t>(newState), save);
}

int KSPersistentState::writeLastCheckForUpdate(int64_t secondsSinceEpoch, bool save) {
    return persistence.insert(keyLastCheckForUpdate, secondsSinceEpoch, save);
}
int KSPersistentState::readLastCheckForUpdate(int64_t& secondsSinceEpoch) {
    return persistence.get(keyLastCheckForUpdate, secondsSinceEpoch);
}

int KSPersistentState::writeInstallerFile(const KSFile& file, bool save) { return persistence.insert(keyKsFile, file, save); }
int KSPersistentState::readInstallerFile(KSFile& file) { return persistence.get(keyKsFile, file); }

int KSPersistentState::writeInstallerFilename(const std::string& path, bool save) {
    return persistence.insert(keyInstallerFilename, path, save);
}
int KSPersistentState::readInstallerFilename(std::string& path) { return persistence.get(keyInstallerFilename, path); }

int KSPersistentState::writeRetries(int32_t retries, bool save) { return persistence.insert(keyRetries, retries, save); }
int KSPersistentState::readRetries(int32_t& retries) { return persistence.get(keyRetries, retries); }

int KSPersistentState::writeInstallerArgs(const std::string& arguments, bool save) {
    return persistence.insert(keyInstallerArgs, arguments, save);
}
int KSPersistentState::readInstallerArgs(std::string& arguments) { return persistence.get(keyInstallerArgs, arguments); }

int KSPersistentState::writeSessionId(const std::string& sessionId, bool save) {
    return persistence.insert(keySessionId, sessionId, save);
}
int KSPersistentState::readSessionId(std::string& sessionId) { return persistence.get(keySessionId, sessionId); }

int KSPersistentState::writeServiceOfferingId(const std::string& applicationId, bool save) {
    return persistence.insert(keyServiceOfferingId, applicationId, save);
}
int KSPersistentState::readServiceOfferingId(std::string& applicationId) {
    return persistence.get(keyServiceOfferingId, applicationId);
}

// The version travels through the 32-bit integer wrapper; the cast back restores
// every unsigned value.
int KSPersistentState::writeServiceOfferingVersion(uint32_t version, bool save) {
    return persistence.insert(keyServiceOfferingVersion, static_cast<int32_t>(version), save);
}

bool KSPersistentState::readServiceOffering(ServiceOfferingEntity& entity) {
    std::string applicationId;
    int32_t version = 0;
    if (!persistence.exists(keyServiceOfferingId)) return false;
    if (persistence.get(keyServiceOfferingId, applicationId) != 0) return false;
    if (!persistence.exists(keyServiceOfferingVersion)) return false;
    if (persistence.get(keyServiceOfferingVersion, version) != 0) return false;
    if (!UUId::checkValid(applicationId)) return false;
    entity = ServiceOfferingEntity(UUId(applicationId), static_cast<uint32_t>(version));
    return true;
}

bool KSPersistentState::lookupServiceOffering(const UUId& applicationId, ServiceOfferingEntity& entity) {
    ServiceOfferingManager* registry = Singleton<ServiceOfferingManager>::instance();
    return registry && registry->getServiceOfferingEntity(applicationId, entity) == 0;
}
