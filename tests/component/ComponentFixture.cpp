#include "ComponentFixture.h"

#include <filesystem>

namespace componenttest {

const UUId ComponentFixture::AppA("6c1f3a2e-8b4d-4f0a-9e21-0a7d5b3c9f11");
const UUId ComponentFixture::AppB("0d9e8f7a-1b2c-4d3e-8f40-5a6b7c8d9e0f");
const UUId ComponentFixture::AppUnknown("99999999-aaaa-4bbb-8ccc-dddddddddddd");

ComponentFixture::ComponentFixture()
    : previousFolder(std::filesystem::current_path().string()), store(dir.file("store")),
      registry(dir.file("registry.xml")) {
    std::filesystem::current_path(dir.path());  // where the recording installer writes
    useTemporaryUserDataHome();
    settings = {{"Identities/DomainID", "component-tests"},
                {"Kestrup/DownloadRetryInterval", "0"},
                {"Kestrup/CheckForUpdateInterval", "0"}};
    registry.set(AppA, 5);
    registry.set(AppB, 1);
}

ComponentFixture::~ComponentFixture() {
    if (component) destroyComponent();
    std::filesystem::current_path(previousFolder);
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

void ComponentFixture::startWith(const std::function<void(KSPersistentState&)>& write) {
    if (component) destroyComponent();
    if (!configuration) configuration.reset(new testsupport::MemoryConfiguration(settings));
    {
        KSPersistentState previousRun;
        previousRun.setState(KSPersistentState::Idle, true);  // empties the store
        write(previousRun);
    }
    startComponent();
}

void ComponentFixture::expectError(const boost::shared_ptr<LocalMessage>& reply, int32_t code,
                                   const std::string& text) {
    ASSERT_TRUE(reply) << "no reply; expected " << code;
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(code, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: " + text)) << text;
}

KSFile ComponentFixture::defaultFile() const {
    return makeFile({"http://mirror-one.test/setup.sh", "http://mirror-two.test/setup.sh"}, "--quiet --all");
}

void ComponentFixture::reachUpdateAvailable(const KSFile& file) {
    backend.setManifest(makeManifest(AppA, file));
    ASSERT_EQ(792, resultOf(getUpdateStatus(AppA)));
}

void ComponentFixture::reachDownloading(const UUId& session, const KSFile& file) {
    const std::size_t startsBefore = downloads.requests("Start").size();
    reachUpdateAvailable(file);
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));
    ASSERT_TRUE(downloads.waitForRequests("Start", startsBefore + 1));
}

}  // namespace componenttest
