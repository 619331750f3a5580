#include "platform/CommandLine.h"

#include <cstddef>

namespace platform {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> splitCommandLine(const std::string& parameters) {
    std::vector<std::string> arguments;
    const std::size_t size = parameters.size();
    std::size_t pos = 0;
    bool inQuotes = false;

    for (;;) {
        while (pos < size && isSeparator(parameters[pos])) ++pos;
        if (pos >= size) break;

        std::string argument;
        for (;;) {
            std::size_t backslashes = 0;
            while (pos < size && parameters[pos] == '\\') {
                ++backslashes;
                ++pos;
            }
            bool copyCharacter = true;
            if (pos < size && parameters[pos] == '"') {
                if (backslashes % 2 == 0) {
                    if (inQuotes && pos + 1 < size && parameters[pos + 1] == '"') {
                        ++pos;  // "" inside quotes: one literal quote, still quoted
                    } else {
                        copyCharacter = false;
                        inQuotes = !inQuotes;
                    }
                }
                backslashes /= 2;
            }
            argument.append(backslashes, '\\');

            if (pos >= size || (!inQuotes && isSeparator(parameters[pos]))) break;
            if (copyCharacter) argument.push_back(parameters[pos]);
            ++pos;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace platform
