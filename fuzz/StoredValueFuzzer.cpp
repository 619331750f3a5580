// What the workflow store hands back: the stored KSFile and the typed wrappers,
// read the way the persistence helper reads them.
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "PersistenceHelper.h"
#include "host/XMLTool.h"
#include "payloads/Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = kestrup_fuzz::asText(data, size);
    KSFile file;
    if (loadKSFile(text, file)) {
        // What was read must store again and read back the same.
        KSFile again;
        try {
            if (!loadKSFile(storeKSFile(file), again) || again != file) __builtin_trap();
        } catch (const xml_tool_error&) {
            // A NUL byte read from an entity cannot be written back; the writer says so.
        }
    }
    int32_t small = 0;
    int64_t large = 0;
    std::string value;
    try {
        SchemaValueCodec::unwrap(text, small);
    } catch (const Schema::_type_not_match_exception&) {
    }
    try {
        SchemaValueCodec::unwrap(text, large);
    } catch (const Schema::_type_not_match_exception&) {
    }
    SchemaValueCodec::unwrap(text, value);
    return 0;
}
