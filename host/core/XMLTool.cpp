// The host serializer's archive on pugixml.
#include "host/XMLTool.h"

#include <cstring>
#include <sstream>

#include <pugixml.hpp>

namespace {

const char kPathSeparator = '\\';
// Root name of a writer whose caller has not named the root yet.
const char* const kDefaultRootName = "archive";

// Whitespace-only text is kept when it is an element's only child, so a field
// holding "  " reads back as "  "; whitespace between elements is dropped.
// Line ends are not normalised, so a "\r" in a field survives the round trip.
// Fragment mode keeps text outside the root as nodes (the default mode drops it
// silently), so the reader can see it and refuse it.
const unsigned int kParseOptions =
    (pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_fragment) & ~pugi::parse_eol;

bool isBlank(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') {
            return false;
        }
    }
    return true;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> segments;
    std::string::size_type start = 0;
    while (true) {
        const std::string::size_type end = path.find(kPathSeparator, start);
        segments.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return segments;
}

bool isNameStartByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool isNameByte(unsigned char c) {
    return isNameStartByte(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Element names come from code, but a bad one would make the writer emit text
// that no reader accepts, so it is refused up front.
void checkElementName(const std::string& name) {
    if (name.empty() || !isNameStartByte(static_cast<unsigned char>(name[0]))) {
        throw xml_tool_error("invalid element name '" + name + "'");
    }
    for (char c : name) {
        if (!isNameByte(static_cast<unsigned char>(c))) {
            throw xml_tool_error("invalid element name '" + name + "'");
        }
    }
}

std::vector<std::string> checkedPath(const std::string& path) {
    std::vector<std::string> segments = splitPath(path);
    for (const std::string& segment : segments) {
        checkElementName(segment);
    }
    return segments;
}

pugi::xml_node lastChildNamed(pugi::xml_node parent, const std::string& name) {
    for (pugi::xml_node child = parent.last_child(); child; child = child.previous_sibling()) {
        if (child.type() == pugi::node_element && name == child.name()) {
            return child;
        }
    }
    return pugi::xml_node();
}

// The text of a leaf element: all of its character data. An element that holds
// other elements is not a text field.
bool leafText(pugi::xml_node element, std::string& value) {
    std::string text;
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        switch (child.type()) {
        case pugi::node_pcdata:
        case pugi::node_cdata:
            text += child.value();
            break;
        case pugi::node_element:
            return false;
        default:
            break;  // comments, processing instructions
        }
    }
    value = text;
    return true;
}

std::string expectedRootName(const boost::any& expectedRoot, bool& any) {
    any = expectedRoot.empty();
    if (any) {
        return std::string();
    }
    if (const std::string* name = boost::any_cast<std::string>(&expectedRoot)) {
        return *name;
    }
    if (const char* const* name = boost::any_cast<const char*>(&expectedRoot)) {
        if (*name == nullptr) {
            any = true;
            return std::string();
        }
        return *name;
    }
    if (char* const* name = boost::any_cast<char*>(&expectedRoot)) {
        if (*name == nullptr) {
            any = true;
            return std::string();
        }
        return *name;
    }
    throw xml_tool_error(std::string("expected root must be a string, not ") + expectedRoot.type().name());
}

class StringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override { m_text.append(static_cast<const char*>(data), size); }
    std::string m_text;
};

// One archive document. Not thread-safe: one thread at a time per object.
class XMLTool : public IXMLTool {
public:
    XMLTool() { m_document.append_child(kDefaultRootName); }

    explicit XMLTool(const std::string& text) {
        const pugi::xml_parse_result result =
            m_document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
        if (!result) {
            std::ostringstream what;
            what << "malformed archive: " << result.description() << " at offset " << result.offset;
            throw xml_tool_error(what.str());
        }
        // pugixml tolerates several top-level elements and stray text beside the
        // root; an archive has exactly one root and nothing else.
        std::size_t elements = 0;
        for (pugi::xml_node child = m_document.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_element) {
                ++elements;
            } else if (child.type() == pugi::node_cdata ||
                       (child.type() == pugi::node_pcdata && !isBlank(child.value()))) {
                throw xml_tool_error("malformed archive: text outside the root element");
            }
        }
        if (elements != 1) {
            throw xml_tool_error(elements == 0 ? "malformed archive: no root element"
                                               : "malformed archive: more than one root element");
        }
    }

    void setRootName(const std::string& name) override {
        checkElementName(name);
        root().set_name(name.c_str());
    }

    void writeField(const std::string& path, const std::string& value) override {
        // pugixml keeps texts NUL-terminated; a NUL would silently cut the value.
        if (value.find('\0') != std::string::npos) {
            throw xml_tool_error("a text with a NUL byte cannot be stored at '" + path + "'");
        }
        pugi::xml_node field = appendAt(path);
        field.text().set(value.c_str());
    }

    void beginEntry(const std::string& path) override { appendAt(path); }

    std::string text() const override {
        StringWriter writer;
        m_document.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
        return writer.m_text;
    }

    std::string getRootName() const override { return root().name(); }

    bool readField(const std::string& path, std::string& value) const override {
        const std::vector<pugi::xml_node> found = elementsAt(path);
        return !found.empty() && leafText(found.front(), value);
    }

    std::size_t countEntries(const std::string& path) const override { return elementsAt(path).size(); }

    bool readEntryField(const std::string& path, std::size_t index, const std::string& field,
                        std::string& value) const override {
        const std::vector<pugi::xml_node> entries = elementsAt(path);
        if (index >= entries.size()) {
            return false;
        }
        const std::vector<pugi::xml_node> found = elementsBelow(entries[index], splitPath(field));
        return !found.empty() && leafText(found.front(), value);
    }

    std::vector<std::string> topLevelNames() const override {
        std::vector<std::string> names;
        for (pugi::xml_node child = root().first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_element) {
                names.push_back(child.name());
            }
        }
        return names;
    }

private:
    pugi::xml_node root() const { return m_document.document_element(); }

    // Appends a new element at `path`, creating missing parents and reusing the
    // last existing parent of each name.
    pugi::xml_node appendAt(const std::string& path) {
        const std::vector<std::string> segments = checkedPath(path);
        pugi::xml_node parent = root();
        for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
            pugi::xml_node next = lastChildNamed(parent, segments[i]);
            parent = next ? next : parent.append_child(segments[i].c_str());
        }
        return parent.append_child(segments.back().c_str());
    }

    // Every element at `path` in document order.
    std::vector<pugi::xml_node> elementsAt(const std::string& path) const {
        return elementsBelow(root(), splitPath(path));
    }

    static std::vector<pugi::xml_node> elementsBelow(pugi::xml_node start, const std::vector<std::string>& segments) {
        std::vector<pugi::xml_node> current(1, start);
        for (const std::string& segment : segments) {
            std::vector<pugi::xml_node> next;
            for (pugi::xml_node node : current) {
                for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
                    if (child.type() == pugi::node_element && segment == child.name()) {
                        next.push_back(child);
                    }
                }
            }
            current.swap(next);
            if (current.empty()) {
                break;
            }
        }
        return current;
    }

    pugi::xml_document m_document;
};

}  // namespace

IXMLTool::~IXMLTool() = default;

xml_tool_error::xml_tool_error(const std::string& what) : std::runtime_error(what) {}

std::unique_ptr<IXMLTool> bootStrapCreate() { return std::unique_ptr<IXMLTool>(new XMLTool()); }

std::unique_ptr<IXMLTool> bootStrapCreate(const std::string& text, const boost::any& expectedRoot) {
    bool anyRoot = false;
    const std::string expected = expectedRootName(expectedRoot, anyRoot);
    std::unique_ptr<IXMLTool> reader(new XMLTool(text));
    if (!anyRoot && reader->getRootName() != expected) {
        throw xml_tool_error("archive root is '" + reader->getRootName() + "', expected '" + expected + "'");
    }
    return reader;
}
