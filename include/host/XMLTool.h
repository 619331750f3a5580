#pragma once
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/any.hpp>

#include "Export.h"

// The host serializer's archive. An archive is an XML document with one root
// element whose nested fields are addressed by paths: a field's path is its
// enclosing path and its own name joined with a backslash ("data",
// "mirrors__mirror\\url").
//
// Writer (from bootStrapCreate()):
//   setRootName("ksFile");
//   writeField("arguments", "/S");
//   beginEntry("mirrors__mirror");        // a new repeated element
//   writeField("mirrors__mirror\\url", "http://...");  // goes into the last entry
//   text();                               // the document
// Reader (from bootStrapCreate(text, expectedRoot)):
//   getRootName(); readField("arguments", out); countEntries("mirrors__mirror");
//   readEntryField("mirrors__mirror", 1, "url", out);
//
// An IXMLTool is used by one thread at a time. The writer's root is named
// "archive" until setRootName() is called. Element names must be XML names; the
// writer throws xml_tool_error for a name that is not, and for a text holding a
// NUL byte (the archive cannot carry one), rather than emit a broken document.
// The reader resolves a path to every matching element in document order.
class KESTRUP_HOST_API IXMLTool {
public:
    virtual ~IXMLTool();

    // --- writing ---
    virtual void setRootName(const std::string& name) = 0;
    // Appends a text element at `path`; missing parents are created, and a parent
    // that already exists (the last one of that name) is reused.
    virtual void writeField(const std::string& path, const std::string& value) = 0;
    // Appends a new, empty element at `path`; later writes under `path` go into it.
    virtual void beginEntry(const std::string& path) = 0;
    // The document as text (UTF-8 bytes passed through unchanged).
    virtual std::string text() const = 0;

    // --- reading ---
    virtual std::string getRootName() const = 0;
    // The text of the first element at `path`; false when there is none.
    virtual bool readField(const std::string& path, std::string& value) const = 0;
    // How many elements stand at `path`.
    virtual std::size_t countEntries(const std::string& path) const = 0;
    // The text of child `field` of the index-th (0-based) element at `path`.
    virtual bool readEntryField(const std::string& path, std::size_t index,
                                const std::string& field, std::string& value) const = 0;
    // Names of the children of the root, in document order.
    virtual std::vector<std::string> topLevelNames() const = 0;
};

// Thrown by the reader for text that is not a well-formed archive.
class KESTRUP_HOST_API xml_tool_error : public std::runtime_error {
public:
    explicit xml_tool_error(const std::string& what);
};

// A writer.
KESTRUP_HOST_API std::unique_ptr<IXMLTool> bootStrapCreate();
// A reader of `text`. `expectedRoot` may hold a std::string (or const char*): the
// root element must then have that name. Throws xml_tool_error for malformed text
// or a different root; never crashes on any input.
KESTRUP_HOST_API std::unique_ptr<IXMLTool> bootStrapCreate(const std::string& text,
                                                           const boost::any& expectedRoot);
