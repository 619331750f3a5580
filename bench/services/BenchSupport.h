#pragma once
// Small pieces shared by the download benchmarks.
#include <algorithm>
#include <string>
#include <vector>

#include "host/Logger.h"

namespace benchsupport {

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Keeps log lines out of the timings and the output.
class QuietLogger : public Logger {
public:
    void log(const std::string&) override {}
};

}  // namespace benchsupport
