#include "TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <map>
#include <mutex>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "bus/MessageDispatcher.h"

namespace testsupport {

namespace fs = std::filesystem;

std::string nativePath(const std::string& path) {
    return fs::u8path(path).lexically_normal().make_preferred().u8string();  // "a\\/b" is "a\\b" too
}

void setEnv(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value != nullptr ? value : "");  // an empty value removes it
#else
    if (value != nullptr) ::setenv(name, value, 1); else ::unsetenv(name);
#endif
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    setEnv(name, value);
}

ScopedEnv::~ScopedEnv() { setEnv(m_name, m_old ? m_old->c_str() : nullptr); }

#ifdef _WIN32
namespace {

// Files held open without sharing by lockAway, by path; closed when their TempDir goes.
std::mutex lockedFilesMutex;
std::map<std::string, HANDLE> lockedFiles;

void releaseLockedFilesUnder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(lockedFilesMutex);
    for (auto it = lockedFiles.begin(); it != lockedFiles.end();) {
        if (it->first.compare(0, folder.size() + 1, folder + "/") != 0) {
            ++it;
            continue;
        }
        ::CloseHandle(it->second);
        it = lockedFiles.erase(it);
    }
}

}  // namespace
#endif

bool lockAway(const std::string& path) {
#ifdef _WIN32
    // File modes do not keep the owner out on Windows; a handle that shares nothing does.
    const HANDLE file = ::CreateFileW(fs::u8path(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::lock_guard<std::mutex> lock(lockedFilesMutex);
    lockedFiles.emplace(fs::u8path(path).generic_u8string(), file);
    return true;
#else
    if (::geteuid() == 0) return false;  // root reads every file
    std::error_code error;
    fs::permissions(path, fs::perms::none, error);
    return !error;
#endif
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

TempDir::TempDir() {
    const char* base = std::getenv("KESTRUP_TEST_TMP");
    fs::path root = (base && *base) ? fs::path(base) : fs::temp_directory_path();
    fs::create_directories(root);
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "kestrup-" << ::getpid() << "-" << counter++ << "-" << rd();
        fs::path candidate = root / name.str();
        if (fs::create_directory(candidate)) {
            m_path = fs::canonical(candidate).generic_string();
            return;
        }
    }
    throw std::runtime_error("TempDir: could not create a temporary folder under " + root.string());
}

TempDir::~TempDir() {
#ifdef _WIN32
    releaseLockedFilesUnder(m_path);
#endif
    std::error_code ec;
    // Make everything writable again first: a test may have locked a folder down.
    for (auto it = fs::recursive_directory_iterator(m_path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

namespace {

// A copy of `hook` taken under `mutex`: it then runs without the lock.
template <class Hook>
Hook copied(std::mutex& mutex, const Hook& hook) {
    std::lock_guard<std::mutex> lock(mutex);
    return hook;
}

template <class Hook>
void replaced(std::mutex& mutex, Hook& hook, Hook value) {
    std::lock_guard<std::mutex> lock(mutex);
    hook = std::move(value);
}

}  // namespace

RecordingSink::RecordingSink(const std::vector<std::string>& topics) {
    for (const auto& topic : topics) subscribe(topic);
}

RecordingSink::~RecordingSink() {
    MessageDispatcher::getInstance()->unsubscribe(this, "");
}

void RecordingSink::subscribe(const std::string& topic) {
    MessageDispatcher::getInstance()->subscribe(this, topic);
}

void RecordingSink::handleMessage(boost::shared_ptr<LocalMessage> message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(message);
    }
    m_condition.notify_all();
    if (const auto hook = copied(m_mutex, m_hook)) hook(message);
}

bool RecordingSink::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_condition.wait_for(lock, timeout, [&] { return m_messages.size() >= count; });
}

boost::shared_ptr<LocalMessage> RecordingSink::waitForType(const std::string& messageType,
                                                           std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    boost::shared_ptr<LocalMessage> found;
    m_condition.wait_for(lock, timeout, [&] {
        for (const auto& m : m_messages)
            if (!found && m->getMessageType() == messageType) found = m;
        return found != nullptr;
    });
    return found;
}

std::vector<boost::shared_ptr<LocalMessage>> RecordingSink::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<boost::shared_ptr<LocalMessage>> RecordingSink::messagesOfType(const std::string& messageType) const {
    std::vector<boost::shared_ptr<LocalMessage>> result;
    for (const auto& m : messages())
        if (m->getMessageType() == messageType) result.push_back(m);
    return result;
}

std::size_t RecordingSink::count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages.size();
}

void RecordingSink::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

void RecordingSink::setOnMessage(std::function<void(const boost::shared_ptr<LocalMessage>&)> hook) {
    replaced(m_mutex, m_hook, std::move(hook));
}

CapturingLogger::CapturingLogger() { Logger::setDefaultInstance(this); }

CapturingLogger::~CapturingLogger() { Logger::setDefaultInstance(nullptr); }

void CapturingLogger::log(const std::string& line) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        if (m_hook && line.find(m_hookText) != std::string::npos) hook.swap(m_hook);
    }
    if (hook) hook();
}

void CapturingLogger::onceOn(const std::string& text, std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hookText = text;
    m_hook = std::move(hook);
}

std::vector<std::string> CapturingLogger::lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool CapturingLogger::contains(const std::string& text) const { return countContaining(text) > 0; }

std::size_t CapturingLogger::countContaining(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
}

bool CapturingLogger::endsWithAny(const std::string& suffix) const {
    for (const auto& line : lines())
        if (line.size() >= suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    return false;
}

void CapturingLogger::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

ForwardingBus::ForwardingBus() : m_target(MessageDispatcher::getInstance()) { MessageDispatcher::setInstance(this); }

ForwardingBus::~ForwardingBus() { MessageDispatcher::setInstance(m_target); }

int ForwardingBus::post(boost::shared_ptr<LocalMessage> message) {
    const PostHook hook = copied(m_mutex, m_onPost);
    const int refused = hook ? hook(message) : 0;
    return refused != 0 ? refused : m_target->post(message);
}

int ForwardingBus::subscribe(IMessageSink* sink, const std::string& topic) {
    if (const SinkHook hook = copied(m_mutex, m_onSubscribe)) hook(sink, topic);
    return m_target->subscribe(sink, topic);
}

void ForwardingBus::unsubscribe(IMessageSink* sink, const std::string& topic) {
    m_target->unsubscribe(sink, topic);  // without our lock: it may wait for a delivery
    if (const SinkHook hook = copied(m_mutex, m_onUnsubscribe)) hook(sink, topic);
}

void ForwardingBus::setOnPost(PostHook hook) { replaced(m_mutex, m_onPost, std::move(hook)); }
void ForwardingBus::setOnSubscribe(SinkHook hook) { replaced(m_mutex, m_onSubscribe, std::move(hook)); }
void ForwardingBus::setOnUnsubscribe(SinkHook hook) { replaced(m_mutex, m_onUnsubscribe, std::move(hook)); }

MemoryConfiguration::MemoryConfiguration() : MemoryConfiguration(std::map<std::string, std::string>()) {}

MemoryConfiguration::MemoryConfiguration(const std::map<std::string, std::string>& values)
    : m_values(values), m_previous(ConfigurationManager::getDefaultInstance()) {
    ConfigurationManager::setDefaultInstance(this);
}

MemoryConfiguration::~MemoryConfiguration() { ConfigurationManager::setDefaultInstance(m_previous); }

int MemoryConfiguration::set(const std::string& key, const std::string& value, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = value;
    return 0;
}

int MemoryConfiguration::get(const std::string& key, std::string& value, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it != m_values.end()) value = it->second;
    return it == m_values.end() ? 1 : 0;
}

std::string header(const boost::shared_ptr<LocalMessage>& message) {
    if (!message) return "<no message>";
    return message->getMessageType() + " to=" + message->getTargetTopic() + " reply=" + message->getReplyTopic() +
           " session=" + message->getSessionId().getValue() + " priority=" + std::to_string(message->getPriority()) +
           " user=" + message->getUser();
}

boost::shared_ptr<LocalMessage> makeMessage(const std::string& targetTopic, const std::string& messageType,
                                            const std::string& replyTopic, const UUId& sessionId, int priority) {
    CommonMessageProperties props;
    props.targetTopic = targetTopic;
    props.messageType = messageType;
    props.replyTopic = replyTopic;
    props.sessionId = sessionId;
    props.priority = priority;
    return boost::shared_ptr<LocalMessage>(new LocalMessage(props));
}

}  // namespace testsupport
