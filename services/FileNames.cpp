#include "FileNames.h"

#include <cctype>

#include "CurlSupport.h"

namespace kestrup_services {

const char* const kFallbackFileName = "download.bin";

namespace {

const std::size_t kMaxNameBytes = 200;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isStrippable(char c) { return c == '.' || c == ' '; }

}  // namespace

std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string cleanFileName(const std::string& decoded) {
    const std::size_t separator = decoded.find_last_of("/\\");
    const std::string last = separator == std::string::npos ? decoded : decoded.substr(separator + 1);

    std::string name;
    name.reserve(last.size());
    for (char c : last) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) continue;
        name.push_back(c);
    }
    std::size_t begin = 0;
    while (begin < name.size() && isStrippable(name[begin])) ++begin;
    std::size_t end = name.size();
    while (end > begin && isStrippable(name[end - 1])) --end;
    name = name.substr(begin, end - begin);

    if (name.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        // Back off over continuation bytes so that no UTF-8 sequence is split.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
        while (!name.empty() && isStrippable(name.back())) name.pop_back();
    }
    return name.empty() ? std::string(kFallbackFileName) : name;
}

std::string safeFileNameFromUrl(const std::string& url) {
    const std::string path = urlRawPath(url);
    const std::size_t slash = path.find_last_of('/');
    const std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    return cleanFileName(percentDecode(segment));
}

}  // namespace kestrup_services
