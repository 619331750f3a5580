#include "UpdateFeed.h"

namespace kestrup_services {

bool parseWholeNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;  // 19 digits always fit
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    value = result;
    return true;
}

}  // namespace kestrup_services
