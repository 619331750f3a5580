// A backend that never answers: the check gives up after its 30 seconds.
#include "ComponentFixture.h"

namespace componenttest {
namespace {

class BackendTimeoutTest : public ComponentFixture {};

TEST_F(BackendTimeoutTest, NoManifestWithinTheWaitIsError796AndTheNextRequestChecksAgain) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setMode(FakeBackend::Silent);

    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA, UUId::generate(), 5);
    ASSERT_FALSE(reply) << "no answer while the check waits";
    reply = client.replies().waitForType("OperationError", std::chrono::seconds(45));
    ASSERT_TRUE(reply);
    EXPECT_EQ(796, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not obtain update manifest. Timeout reached."));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(countdownRunning());

    // The time-out recorded no check: the next request asks again.
    backend.setMode(FakeBackend::AnswerManifest);
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(2u, backend.checkCount());
}

}  // namespace
}  // namespace componenttest
