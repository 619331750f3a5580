#pragma once
#include <string>

#include "Export.h"

// The host logger. Every line goes to log(); callers build the finished line
// (see host/LogLine.h). No level is passed.
class KESTRUP_HOST_API Logger {
public:
    virtual ~Logger();
    // Must be safe to call from any thread.
    virtual void log(const std::string& line) = 0;

    // The installed logger, else the built-in one (stderr and, once
    // DefaultLogger::setLogFile was called, a file). Never null; not owned.
    static Logger* getDefaultInstance();
    // Installs a logger for the whole process (not owned); null restores the built-in one.
    static void setDefaultInstance(Logger* logger);
};

// The built-in logger: each line with a UTC timestamp to stderr and, when a file is
// set, appended to that file. Thread-safe.
class KESTRUP_HOST_API DefaultLogger : public Logger {
public:
    DefaultLogger();
    ~DefaultLogger() override;
    void log(const std::string& line) override;
    // Appends to `path` from now on (created if missing); an empty path stops file
    // output. Returns false, and keeps writing to stderr, if the file cannot be opened.
    bool setLogFile(const std::string& path);
    void setStderrEnabled(bool enabled);

private:
    struct Impl;
    Impl* m_impl;  // owned
};
