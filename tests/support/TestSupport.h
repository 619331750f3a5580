#pragma once
// Shared helpers for the test suite: a temporary folder, a recording sink that waits
// for messages with a time-out, a capturing logger and an in-memory configuration.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/ConfigurationManager.h"
#include "host/Logger.h"

namespace testsupport {

// A fresh folder under $KESTRUP_TEST_TMP (else the system temp folder), removed
// with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets (or, with a null value, clears) an environment variable and restores the
// earlier state when it goes.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// `path` with the system's separators ("\\" on Windows), as the component gives folders.
std::string nativePath(const std::string& path);

// Sets or clears (null value) an environment variable for the rest of the process.
void setEnv(const char* name, const char* value);

// Keeps this process from reading a file until the TempDir holding it goes: takes
// away every permission (root reads it regardless: false), on Windows holds it open
// without sharing. True when the file is locked away.
bool lockAway(const std::string& path);

// Polls `condition` until it holds (true) or `timeout` has passed (false).
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The whole file as bytes; "" when it cannot be read.
std::string readFile(const std::string& path);
// Writes `content` as the whole file; false on failure.
bool writeFile(const std::string& path, const std::string& content);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Subscribes to the given topics of MessageDispatcher::getInstance() and records
// every delivered message. Unsubscribes in its destructor.
class RecordingSink : public IMessageSink {
public:
    explicit RecordingSink(const std::vector<std::string>& topics = {});
    ~RecordingSink() override;
    void subscribe(const std::string& topic);
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    // True once at least `count` messages arrived within `timeout`.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The first message of that type, waiting up to `timeout`; empty on time-out.
    boost::shared_ptr<LocalMessage> waitForType(const std::string& messageType,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<boost::shared_ptr<LocalMessage>> messages() const;
    std::vector<boost::shared_ptr<LocalMessage>> messagesOfType(const std::string& messageType) const;
    std::size_t count() const;
    void clear();
    // Optional hook run inside each delivery, after recording.
    void setOnMessage(std::function<void(const boost::shared_ptr<LocalMessage>&)> hook);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    std::vector<boost::shared_ptr<LocalMessage>> m_messages;
    std::function<void(const boost::shared_ptr<LocalMessage>&)> m_hook;
};

// Records every logged line; installs itself as the default logger while it lives
// and restores the previous one afterwards.
class CapturingLogger : public Logger {
public:
    CapturingLogger();
    ~CapturingLogger() override;
    void log(const std::string& line) override;
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;        // some line contains `text`
    std::size_t countContaining(const std::string& text) const;
    bool endsWithAny(const std::string& suffix) const;   // some line ends with `suffix`
    void clear();
    // Runs `hook` once, on the logging thread and without the logger's lock, right
    // after the next line that contains `text`: a test's way into a running step.
    void onceOn(const std::string& text, std::function<void()> hook);

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_hookText;        // guarded by m_mutex
    std::function<void()> m_hook;  // guarded by m_mutex
};

// An in-memory configuration store; installs itself as the default store while it
// lives and restores the previous one afterwards.
class MemoryConfiguration : public ConfigurationManager {
public:
    MemoryConfiguration();
    explicit MemoryConfiguration(const std::map<std::string, std::string>& values);
    ~MemoryConfiguration() override;
    int reload() override { return 0; }
    int set(const std::string& key, const std::string& value, int flags) override;
    int get(const std::string& key, std::string& value, int flags) override;

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
    ConfigurationManager* m_previous;
};

// Installs itself as the process bus while it lives and forwards everything to the
// bus installed before it. Hooks run on the calling thread: a post hook runs before
// the post and refuses it by returning non-zero, a subscribe hook before the
// subscription, an unsubscribe hook after the unsubscription returned.
class ForwardingBus : public MessageDispatcher {
public:
    using PostHook = std::function<int(const boost::shared_ptr<LocalMessage>&)>;
    using SinkHook = std::function<void(IMessageSink*, const std::string& topic)>;
    ForwardingBus();
    ~ForwardingBus() override;
    int post(boost::shared_ptr<LocalMessage> message) override;
    int subscribe(IMessageSink* sink, const std::string& topic) override;
    void unsubscribe(IMessageSink* sink, const std::string& topic) override;
    void setOnPost(PostHook hook);
    void setOnSubscribe(SinkHook hook);
    void setOnUnsubscribe(SinkHook hook);

private:
    MessageDispatcher* m_target;
    std::mutex m_mutex;  // guards the hooks
    PostHook m_onPost;
    SinkHook m_onSubscribe;
    SinkHook m_onUnsubscribe;
};

// A message's header as one line: "<type> to=<target> reply=<reply topic>
// session=<id> priority=<n> user=<user>", to compare a whole header at once.
std::string header(const boost::shared_ptr<LocalMessage>& message);

// Builds a message with the given header fields.
boost::shared_ptr<LocalMessage> makeMessage(const std::string& targetTopic, const std::string& messageType,
                                            const std::string& replyTopic = "",
                                            const UUId& sessionId = UUId(), int priority = 0);

}  // namespace testsupport
