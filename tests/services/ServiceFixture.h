#pragma once
// What the service tests share: a temporary folder with a "www" folder served by the
// loopback HTTP server, a reply topic with its recorder, and a captured log.
#include <filesystem>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace servicetests {

class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(www));
        server.reset(new LoopbackServer(www));
        ASSERT_TRUE(server->started()) << server->startError();
    }

    // Posts `type` to `topic` with the test's reply topic, and `payload` unless null.
    void post(const std::string& topic, const std::string& type, const UUId& session,
              const boost::shared_ptr<ISerializable>& payload, int priority = 0) {
        auto message = testsupport::makeMessage(topic, type, replyTopic, session, priority);
        if (payload) message->setPayload(payload);
        ASSERT_EQ(0, MessageDispatcher::getInstance()->post(message));
    }

    // The replies of `session` so far.
    std::vector<boost::shared_ptr<LocalMessage>> repliesOf(const UUId& session) const {
        std::vector<boost::shared_ptr<LocalMessage>> found;
        for (const auto& message : replies.messages())
            if (message->getSessionId() == session) found.push_back(message);
        return found;
    }
    // The reply of `session` after the `skip` it already had, waiting up to `timeout`;
    // empty when none comes.
    boost::shared_ptr<LocalMessage> replyOf(const UUId& session, std::size_t skip = 0,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) const {
        testsupport::waitFor([&] { return repliesOf(session).size() > skip; }, timeout);
        const auto found = repliesOf(session);
        return found.size() > skip ? found[skip] : nullptr;
    }

    // The payload of class P of the answer `type` of `session` after the `skip` it
    // already had, which came on the reply topic; a failure and null otherwise.
    template <class P>
    boost::shared_ptr<P> answerOf(const UUId& session, const std::string& type, std::size_t skip = 0) const {
        const auto message = replyOf(session, skip);
        if (!message) {
            ADD_FAILURE() << "no " << type << " for " << session.getValue();
            return nullptr;
        }
        EXPECT_EQ(type, message->getMessageType());
        EXPECT_EQ(replyTopic, message->getTargetTopic());
        auto payload = boost::dynamic_pointer_cast<P>(message->getPayload());
        EXPECT_TRUE(payload) << "payload of " << type;
        return payload;
    }

    testsupport::CapturingLogger logger;
    testsupport::TempDir temp;
    const std::string www = temp.file("www");
    std::unique_ptr<LoopbackServer> server;
    const std::string replyTopic = "test://service-replies/" + UUId::generate().getValue();
    testsupport::RecordingSink replies{{replyTopic}};
};

}  // namespace servicetests
