#include "host/Logger.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>

namespace {

std::atomic<Logger*> g_installedLogger{nullptr};

// The built-in logger lives for the whole process: it is created on first use and
// never destroyed, so code that logs during static destruction still has a target.
// The static pointer keeps it reachable for leak checkers.
DefaultLogger* builtinLogger() {
    static DefaultLogger* const instance = new DefaultLogger();
    return instance;
}

// "2026-12-05T17:01:41.123Z"
std::string utcTimestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char buffer[40];
    const size_t length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(buffer + length, sizeof(buffer) - length, ".%03dZ", static_cast<int>(millis));
    return buffer;
}

}  // namespace

Logger::~Logger() = default;

Logger* Logger::getDefaultInstance() {
    Logger* installed = g_installedLogger.load(std::memory_order_acquire);
    return installed != nullptr ? installed : builtinLogger();
}

void Logger::setDefaultInstance(Logger* logger) {
    g_installedLogger.store(logger, std::memory_order_release);
}

struct DefaultLogger::Impl {
    std::mutex mutex;
    std::ofstream file;          // guarded by mutex
    bool stderrEnabled = true;   // guarded by mutex
};

DefaultLogger::DefaultLogger() : m_impl(new Impl) {}

DefaultLogger::~DefaultLogger() {
    delete m_impl;
}

void DefaultLogger::log(const std::string& line) {
    // One write per line under the lock, so lines from several threads never mix.
    std::string stamped = utcTimestamp();
    stamped += ' ';
    stamped += line;
    stamped += '\n';
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->stderrEnabled) {
        std::fwrite(stamped.data(), 1, stamped.size(), stderr);
        std::fflush(stderr);
    }
    if (m_impl->file.is_open()) {
        m_impl->file.write(stamped.data(), static_cast<std::streamsize>(stamped.size()));
        m_impl->file.flush();
    }
}

bool DefaultLogger::setLogFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->file.is_open()) {
        m_impl->file.close();
    }
    m_impl->file.clear();
    if (path.empty()) {
        return true;
    }
    m_impl->file.open(path, std::ios::out | std::ios::app | std::ios::binary);
    return m_impl->file.is_open();
}

void DefaultLogger::setStderrEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->stderrEnabled = enabled;
}
