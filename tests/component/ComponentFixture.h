#pragma once
// A Kestrup component built directly (not through the module) over a store, a
// registry and a user data folder in a temporary folder, with a fake backend and a
// fake download service on the real bus.
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

    // Settings for the next component; the defaults keep every slow path short
    // (no retry wait, no minimum check interval).
    std::map<std::string, std::string> settings;

    // Creates, initialises and starts a component.
    void startComponent();
    // The host's stop, uninitialize and destroy.
    void destroyComponent();
    // Starts a component over a store that a previous run left holding exactly what
    // `write` puts into an empty one.
    void startWith(const std::function<void(KSPersistentState&)>& write);
    // A second session on the store: it sees what the component saved (flushed).
    std::unique_ptr<KSPersistentState> openStore() { return std::make_unique<KSPersistentState>(); }

    // Requests of the client, waiting for their reply.
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

    // Drives the workflow of AppA through the real handlers.
    void reachUpdateAvailable(const KSFile& file);
    // Reaches Downloading with a download service that does not answer yet.
    void reachDownloading(const UUId& session, const KSFile& file);

    KSFile defaultFile() const;
    KSPersistentState::KSState_t state() { return component->getWorkflowState(); }
    // The inactivity countdown once the request being handled (if any) is done: the
    // request handlers touch the countdown before they release the component's lock.
    bool countdownRunning() {
        component->getWorkflowState();
        return component->isInactivityCountdownRunning();
    }

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
