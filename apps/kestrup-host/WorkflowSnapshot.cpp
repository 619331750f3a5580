#include "WorkflowSnapshot.h"

#include <exception>
#include <list>
#include <memory>

#include <QString>

#include "host/XMLTool.h"
#include "persistence/KeyValueSchema.h"
#include "persistence/PersistentManager.h"

namespace kestrup_host {
namespace {

const char* const kSchemaName = "KSPersistentStateSchema";

// The value of `key`: the "data" field of the wrapper archive (root `root`) that the
// component stores. False when the key holds no such value.
bool readWrapped(KeyValueSchema& schema, const std::string& key, const char* root, std::string& value) {
    const std::list<std::string> texts = schema.getRawData(key);
    if (texts.size() != 1) return false;
    try {
        std::unique_ptr<IXMLTool> reader = bootStrapCreate(texts.front(), boost::any(std::string(root)));
        return reader && reader->readField("data", value);
    } catch (const xml_tool_error&) {
        return false;
    }
}

bool readNumber(KeyValueSchema& schema, const std::string& key, int64_t& number) {
    std::string text;
    if (!readWrapped(schema, key, "IntWrapper", text)) return false;
    bool ok = false;
    number = QString::fromStdString(text).toLongLong(&ok);
    return ok;
}

}  // namespace

bool readWorkflowSnapshot(const std::string& storeFolder, const std::string& domainId, WorkflowSnapshot& snapshot,
                          std::string& error) {
    try {
        PersistentManager manager(storeFolder);
        KeyValueSchema schema = manager.initLocal(kSchemaName, domainId, "", "", PersistentManager::Properties());
        WorkflowSnapshot read;
        int64_t number = 0;
        if (readNumber(schema, "state", number)) {
            read.state = static_cast<int32_t>(number);
            read.stateStored = true;
        }
        if (readNumber(schema, "serviceOfferingVersion", number)) {
            read.serviceOfferingVersion = static_cast<uint32_t>(number);
            read.versionStored = true;
        }
        readWrapped(schema, "serviceOfferingId", "StringWrapper", read.serviceOfferingId);
        readWrapped(schema, "sessionId", "StringWrapper", read.sessionId);
        readWrapped(schema, "installerFilename", "StringWrapper", read.installerFilename);
        snapshot = read;
        return true;
    } catch (const std::exception& e) {
        error = std::string("cannot read the workflow store in ") + storeFolder + ": " + e.what();
        return false;
    }
}

std::string workflowStateName(int32_t state) {
    switch (state) {
    case 1:
        return "Idle";
    case 2:
        return "UpdateAvailable";
    case 3:
        return "Downloading";
    case 4:
        return "Downloaded";
    case 5:
        return "Installing";
    default:
        return "unknown";
    }
}

}  // namespace kestrup_host
