#include "ComponentFixture.h"

#include <fstream>

#include <sys/stat.h>

namespace componenttest {

const UUId ComponentFixture::AppA("6c1f3a2e-8b4d-4f0a-9e21-0a7d5b3c9f11");
const UUId ComponentFixture::AppB("0d9e8f7a-1b2c-4d3e-8f40-5a6b7c8d9e0f");
const UUId ComponentFixture::AppUnknown("99999999-aaaa-4bbb-8ccc-dddddddddddd");

ComponentFixture::ComponentFixture() : store(dir.file("store")), registry(dir.file("registry.xml")) {
    useTemporaryUserDataHome();
    settings = {{"Identities/DomainID", "component-tests"},
                {"Kestrup/DownloadRetryInterval", "0"},
                {"Kestrup/CheckForUpdateInterval", "0"}};
    registry.set(AppA, 5);
    registry.set(AppB, 1);
}

ComponentFixture::~ComponentFixture() {
    if (component) destroyComponent();
}

void ComponentFixture::startComponent() {
    configuration.reset();
    configuration.reset(new testsupport::MemoryConfiguration(settings));
    component.reset(new Kestrup());
    component->initialize();
    component->start();
}

void ComponentFixture::destroyComponent() {
    component->stop();
    component->uninitialize();
    component.reset();
}

void ComponentFixture::restartComponent() {
    destroyComponent();
    startComponent();
}

void ComponentFixture::seed(const std::function<void(KSPersistentState&)>& write) {
    ASSERT_FALSE(component) << "seed the store only while no component runs";
    if (!configuration) configuration.reset(new testsupport::MemoryConfiguration(settings));
    KSPersistentState persisted;
    write(persisted);
}

std::unique_ptr<KSPersistentState> ComponentFixture::openStore() {
    return std::unique_ptr<KSPersistentState>(new KSPersistentState());
}

boost::shared_ptr<LocalMessage> ComponentFixture::getUpdateStatus(const UUId& app, const UUId& session,
                                                                  uint32_t version) {
    return client.ask("GetUpdateStatus", offering(app, version), session);
}

boost::shared_ptr<LocalMessage> ComponentFixture::prepareForInstall(const UUId& app, const UUId& session) {
    return client.ask("PrepareForInstall", offering(app, 5), session);
}

boost::shared_ptr<LocalMessage> ComponentFixture::launchInstall(const UUId& app, const UUId& session) {
    return client.ask("LaunchInstall", offering(app, 5), session);
}

KSFile ComponentFixture::defaultFile() const {
    return makeFile({"http://mirror-one.test/setup.sh", "http://mirror-two.test/setup.sh"}, "--quiet --all");
}

void ComponentFixture::reachUpdateAvailable(const KSFile& file) {
    backend.setManifest(makeManifest(AppA, file));
    ASSERT_EQ(792, resultOf(getUpdateStatus(AppA)));
}

void ComponentFixture::reachDownloading(const UUId& session, const KSFile& file) {
    reachUpdateAvailable(file);
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));
    ASSERT_TRUE(downloads.waitForRequests("Start", 1));
}

void ComponentFixture::reachDownloaded(const UUId& session, const KSFile& file, const std::string& installer) {
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.script({FakeDownloadService::finish(installer)});
    reachUpdateAvailable(file);
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));
    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    ASSERT_EQ(794, resultOf(event));
    ASSERT_EQ(KSPersistentState::Downloaded, state());
}

std::string ComponentFixture::writeInstallerScript(const std::string& name, const std::string& marker) {
    const std::string path = dir.file(name);
    std::ofstream script(path, std::ios::trunc);
    script << "#!/bin/sh\n"
           << "printf '%s\\n' \"$@\" > '" << marker << ".tmp'\n"
           << "mv '" << marker << ".tmp' '" << marker << "'\n";
    script.close();
    ::chmod(path.c_str(), 0755);
    return path;
}

}  // namespace componenttest
