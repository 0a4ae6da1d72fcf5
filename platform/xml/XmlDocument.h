// An XML document: loads from a file or from text, answers XPath queries,
// gives its text, saves itself, copies itself. The channel's configuration is
// read from one of these with the typed readers (see CXmlNode for the reading
// rules and for the lifetime of node handles).
//
// Parsing keeps comments, processing instructions and the declaration, and
// drops text nodes that hold only white space (white space is not preserved).
// Input files may be UTF-8 or UTF-16 (with a byte-order mark); text is UTF-8.
// A document type declaration (a DTD, with or without entities) is refused as
// a parse error: nothing it declares would be expanded or fetched.
//
// Thread safety: a document and every handle into it are used by one thread
// at a time; distinct documents may be used on different threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/xml/XmlNode.h"

struct CXmlDocumentState;

class CXmlDocument {
public:
    // An empty document (no element).
    CXmlDocument();
    ~CXmlDocument();
    // A moved-from document is empty.
    CXmlDocument(CXmlDocument&& other) noexcept;
    CXmlDocument& operator=(CXmlDocument&& other) noexcept;
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // Replace the content. On failure they throw CXmlError (with reason,
    // offset, line and column for a parse error) and keep the old content.
    void Load(const std::string& path);
    void LoadXml(const std::string& text);

    // The document's markup without formatting (no declaration is added).
    std::string Xml() const;
    // Writes Xml() to the file, with an XML declaration when the document has
    // none, through a temporary file in the same folder that is renamed over
    // the target, so readers see the old file or the new one, never a part.
    // A new file gets mode 0644; an existing file keeps its mode.
    void Save(const std::string& path) const;
    // A deep copy of the tree (detached nodes are not copied).
    CXmlDocument Clone() const;

    CXmlNode DocumentNode() const;
    // The top-level element; null for an empty document.
    CXmlNode DocumentElement() const;
    // A detached element of this document (see CXmlNode).
    CXmlNode CreateElement(const std::string& name);

    // XPath on the document node (CXmlNode).
    CXmlNode SelectSingleNode(const std::string& xpath) const;
    CXmlNodeList SelectNodes(const std::string& xpath) const;

    // Typed readers on the document node (CXmlNode).
    bool ReadText(const std::string& xpath, std::string* out) const;
    bool ReadLong(const std::string& xpath, std::int32_t* out) const;
    bool ReadBool(const std::string& xpath, bool* out) const;
    bool ReadFloat(const std::string& xpath, double* out) const;

private:
    void Parse(const std::string& text, bool fromFile, const std::string& source);

    std::unique_ptr<CXmlDocumentState> m_state;  // null only when moved from
};
