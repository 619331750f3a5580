#pragma once
// A Kestrup component linked directly, over a store, a registry and a user data folder
// in a temporary folder, with a fake backend and download service on the real bus.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "KSPersistentState.h"
#include "Kestrup.h"

namespace componenttest {

class ComponentFixture : public ::testing::Test {
protected:
    using State = KSPersistentState;

    // Known to the registry (A at version 5, B at version 1), and not.
    static const UUId AppA, AppB, AppUnknown;

    ComponentFixture();
    ~ComponentFixture() override;

    // Settings for the next component; by default no retry wait and no check interval.
    std::map<std::string, std::string> settings;

    void startComponent();    // creates, initialises and starts one
    void destroyComponent();  // the host's stop, uninitialize and destroy
    // Starts a component over a store that a previous run left holding what `write` puts there.
    void startWith(const std::function<void(KSPersistentState&)>& write);
    // A second session on the store: it sees what the component saved (flushed).
    std::unique_ptr<KSPersistentState> openStore() { return std::make_unique<KSPersistentState>(); }

    boost::shared_ptr<LocalMessage> getUpdateStatus(const UUId& app, const UUId& session = UUId::generate(),
                                                    uint32_t version = 1) {
        return client.ask("GetUpdateStatus", offering(app, version), session);
    }
    boost::shared_ptr<LocalMessage> prepareForInstall(const UUId& app, const UUId& session = UUId::generate()) {
        return client.ask("PrepareForInstall", offering(app, 5), session);
    }
    boost::shared_ptr<LocalMessage> launchInstall(const UUId& app) {
        return client.ask("LaunchInstall", offering(app, 5), UUId::generate());
    }
    // An "OperationError" reply with `code`, after the log line "KESTRUP: " + `text`.
    void expectError(const boost::shared_ptr<LocalMessage>& reply, int32_t code, const std::string& text);

    // AppA's workflow through the real handlers; Downloading waits for the service.
    void reachUpdateAvailable(const KSFile& file);
    void reachDownloading(const UUId& session, const KSFile& file);

    KSFile defaultFile() const;
    KSPersistentState::KSState_t state() { return component->getWorkflowState(); }
    // The inactivity countdown once the request in hand (if any) is done: handlers
    // touch it before they release the component's lock.
    bool countdownRunning() {
        component->getWorkflowState();
        return component->isInactivityCountdownRunning();
    }

    const std::string previousFolder;
    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    std::unique_ptr<testsupport::MemoryConfiguration> configuration;
    StoreFolder store;
    RegistryFile registry;
    testsupport::ForwardingBus bus;  // before every sink: they all subscribe through it
    FakeBackend backend;
    FakeDownloadService downloads;
    Client client;
    std::unique_ptr<Kestrup> component;  // last: goes first
};

}  // namespace componenttest
