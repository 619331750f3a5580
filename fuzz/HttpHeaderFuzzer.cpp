// The transfer's own reading of response headers: the input is a header block,
// fed line by line as libcurl feeds it.
#include <cstring>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "HttpHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrup_services;
    const std::string block = kestrup_fuzz::asText(data, size);
    std::size_t begin = 0;
    while (begin < block.size()) {
        std::size_t end = block.find('\n', begin);
        end = end == std::string::npos ? block.size() : end + 1;
        // A copy of exactly the line, so that ASan sees any read past its end.
        std::unique_ptr<char[]> line(new char[end - begin]);
        std::memcpy(line.get(), block.data() + begin, end - begin);
        isStatusLine(line.get(), end - begin);
        ContentRange range;
        if (parseContentRange(line.get(), end - begin, range) && range.form == ContentRange::Unparsed &&
            (range.first != 0 || range.total != 0)) {
            __builtin_trap();
        }
        begin = end;
    }
    return 0;
}
