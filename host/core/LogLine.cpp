#include "host/LogLine.h"

#include <cstring>

namespace {

// Strips the directories from a source path; both separators are accepted because
// __FILE__ may come from either kind of build machine.
const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

}  // namespace

std::string formatLogLine(const char* sourceFile, int sourceLine, const std::string& message) {
    std::string line = baseName(sourceFile != nullptr ? sourceFile : "");
    line += '[';
    line += std::to_string(sourceLine);
    line += "] -> ";
    line += message;
    return line;
}
