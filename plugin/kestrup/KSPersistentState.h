#pragma once
#include <cstdint>
#include <string>

#include "PersistenceHelper.h"

class UUId;
class KSFile;
class ServiceOfferingEntity;

// The memory of the update workflow across restarts, kept in the schema
// "KSPersistentStateSchema". Every read returns the PersistenceHelper result:
// 0 done, 1 schema not open, 2 failed (logged by the helper).
// Not thread-safe: the component calls it under its own mutex.
class KSPersistentState {
public:
    enum KSState_t : int32_t {
        Idle = 1,
        UpdateAvailable = 2,
        Downloading = 3,
        Downloaded = 4,
        Installing = 5
    };

    // Reads "state"; writes state 1 (saved) when the key is missing. A stored value
    // that cannot be read, or is not one of the states above, gives Idle and is left
    // as it is.
    KSPersistentState();
    virtual ~KSPersistentState();

    KSState_t getState() const;
    // Entering Idle empties the schema (and flushes) whatever `save` says.
    void setState(KSState_t newState, bool save);

    int writeLastCheckForUpdate(int64_t secondsSinceEpoch, bool save = true);
    int readLastCheckForUpdate(int64_t& secondsSinceEpoch);
    int writeInstallerFile(const KSFile& file, bool save = true);
    int readInstallerFile(KSFile& file);
    int writeInstallerFilename(const std::string& path, bool save);
    int readInstallerFilename(std::string& path);
    int writeRetries(int32_t retries, bool save);
    int readRetries(int32_t& retries);
    int writeInstallerArgs(const std::string& arguments, bool save);
    int readInstallerArgs(std::string& arguments);
    int writeSessionId(const std::string& sessionId, bool save);
    int readSessionId(std::string& sessionId);
    int writeServiceOfferingId(const std::string& applicationId, bool save);
    int readServiceOfferingId(std::string& applicationId);
    int writeServiceOfferingVersion(uint32_t version, bool save);

    // The persisted offering (id and version), when both read and the id is valid.
    bool readServiceOffering(ServiceOfferingEntity& entity);
    // Asks the host registry; true when it exists and knows the application.
    bool lookupServiceOffering(const UUId& applicationId, ServiceOfferingEntity& entity);

private:
    KSState_t state;
    PersistenceHelper persistence;
    const std::string keyState;
    const std::string keyLastCheckForUpdate;
    const std::string keyKsFile;
    const std::string keyInstallerFilename;
    const std::string keyRetries;
    const std::string keyInstallerArgs;
    const std::string keySessionId;
    const std::string keyServiceOfferingId;
    const std::string keyServiceOfferingVersion;
};
