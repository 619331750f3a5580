#pragma once
#include <string>

#include "Export.h"
#include "host/Logger.h"

// Builds a log line: the source file name without its directories, "[", the line
// number, "] -> ", then the message.
KESTRUP_HOST_API std::string formatLogLine(const char* sourceFile, int sourceLine,
                                           const std::string& message);

// Logs `message` through `logger` with the caller's source location.
#define KS_LOG(logger, message) \
    (logger)->log(formatLogLine(__FILE__, __LINE__, (message)))

// Like KS_LOG, for threads that must survive a failing logger (the bus's workers,
// the timer thread): an exception thrown by the logger is swallowed.
#define KS_LOG_NOTHROW(logger, message)                                       \
    do {                                                                      \
        try {                                                                 \
            KS_LOG(logger, message);                                          \
        } catch (...) {                                                       \
        }                                                                     \
    } while (false)
