// The serializer's archive reader: every read operation on whatever parses.
#include <set>
#include <string>

#include "FuzzInput.h"
#include "host/XMLTool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<IXMLTool> reader;
    try {
        reader = bootStrapCreate(kestrup_fuzz::asText(data, size), boost::any());
    } catch (const xml_tool_error&) {
        return 0;
    }
    reader->getRootName();
    std::string value;
    // Each distinct name once: repeated elements would make this loop quadratic in the
    // input, and a slow input is then reported as a hang although every call is linear.
    const std::vector<std::string> names = reader->topLevelNames();
    for (const std::string& name : std::set<std::string>(names.begin(), names.end())) {
        reader->readField(name, value);
        const std::size_t count = reader->countEntries(name);
        for (std::size_t i = 0; i < count && i < 64; ++i) {
            reader->readEntryField(name, i, "url", value);
        }
        reader->readField(name + "\\" + name, value);
    }
    reader->readField("", value);
    reader->readField("\\", value);
    reader->countEntries("mirrors__mirror");
    reader->readEntryField("mirrors__mirror", 0, "eulaUrl", value);
    return 0;
}
