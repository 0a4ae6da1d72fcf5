// A handle to one node of a CXmlDocument: the document node, an element, an
// attribute, or a text, CDATA, comment, processing-instruction, declaration
// or document-type node. A handle is three pointers wide and cheap to copy; a
// default-constructed handle is the null node.
//
// Lifetime: a handle stays valid as long as its document lives, except that
// RemoveChild destroys the removed subtree and CXmlDocument::Load/LoadXml
// replace the whole tree: handles into what was removed or replaced must not
// be used any more (as iterators into an erased container).
//
// Detached nodes: CloneNode and CXmlDocument::CreateElement give nodes that
// belong to the document but are not in its tree (ParentNode is null).
// AppendChild of a detached node, or of a node of another document, puts a
// deep copy into the tree and returns it; AppendChild of a node of the same
// tree moves it. Detached nodes live until their document is destroyed or
// loaded again.
//
// Reading nothing: accessors on the null node give empty results (empty
// name and text, no attribute, null parent, no children, null selections,
// readers returning false); calls that change the tree throw CXmlError.
//
// Thread safety: a document and every handle into it are used by one thread
// at a time; distinct documents may be used on different threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/xml/XmlTypedValue.h"

namespace pugi {
struct xml_node_struct;
struct xml_attribute_struct;
class xpath_node;
}  // namespace pugi

struct CXmlDocumentState;
class CXmlNode;

// The nodes a query selected, in document order.
using CXmlNodeList = std::vector<CXmlNode>;

class CXmlNode {
public:
    enum class Type {
        Null,
        Document,
        Element,
        Attribute,
        Text,
        CData,
        Comment,
        ProcessingInstruction,
        Declaration,
        DocumentType
    };

    // The namespace of the dt:dt data-type attribute.
    static constexpr const char* kDataTypesNamespace = "urn:schemas-microsoft-com:datatypes";

    CXmlNode() = default;

    bool IsNull() const { return m_node == nullptr; }
    Type NodeType() const;
    // Element and attribute names; "#document", "#text", "#cdata-section",
    // "#comment" for those nodes; the target of a processing instruction.
    std::string Name() const;

    // Element and document: the text of all descendant text and CDATA nodes,
    // concatenated, without leading and trailing white space (white space is
    // not preserved). Attribute, text, CDATA, comment and processing
    // instruction: the value itself, unchanged.
    std::string Text() const;
    // Element: replaces all children by one text node. Attribute and the
    // other value nodes: sets the value.
    void SetText(const std::string& text);

    // Elements only; nullopt when the attribute is absent or this is no element.
    std::optional<std::string> GetAttribute(const std::string& name) const;
    void SetAttribute(const std::string& name, const std::string& value);
    // True when the attribute was there.
    bool RemoveAttribute(const std::string& name);

    // XPath 1.0 with this node as the context. A query that selects nothing
    // gives the null node or an empty list; a malformed query, or one whose
    // result is not a node set, throws CXmlError naming the query.
    CXmlNode SelectSingleNode(const std::string& xpath) const;
    CXmlNodeList SelectNodes(const std::string& xpath) const;

    // Appends to an element or to the document node (which takes one element
    // only); returns the node as it now stands in the tree.
    CXmlNode AppendChild(const CXmlNode& child);
    CXmlNode AppendElement(const std::string& name);
    // Removes and destroys a child of this node (see Lifetime). To keep a
    // copy, CloneNode it first.
    void RemoveChild(const CXmlNode& child);

    // Null for the document node, for detached nodes and for attributes (as
    // the DOM has it; XPath ".." still reaches an attribute's element).
    CXmlNode ParentNode() const;
    CXmlNodeList ChildNodes() const;

    // The node's markup without formatting: an element with its subtree, an
    // attribute as name="value", the whole document for the document node.
    std::string Xml() const;

    // A detached copy in the same document: with its subtree when deep,
    // otherwise an element keeps only its attributes. Attributes and the
    // document node cannot be cloned on their own (CXmlDocument::Clone).
    CXmlNode CloneNode(bool deep) const;

    // The data type named by the element's dt:dt attribute ("" for none). The
    // dt prefix counts when it is bound to kDataTypesNamespace, or when it is
    // "dt" and bound to nothing.
    std::string DataType() const;
    // Sets the element's data type (XmlTypedValue.h lists them; "" removes
    // it); throws when the type is unknown or the current text does not
    // convert to it.
    void SetDataType(const std::string& type);
    // The text read as the data type (XmlTypedValue.h); throws CXmlError when
    // the text does not convert.
    CXmlTypedValue TypedValue() const;

    // Typed readers of the node a query selects. Each returns false and
    // leaves *out untouched when the query selects nothing, and throws
    // CXmlError naming the query and the text when the text does not convert.
    //   ReadText:  Text() of the node.
    //   ReadLong:  a 32-bit integer: decimal or "0x" hexadecimal text, or the
    //              typed value (numbers rounded to nearest, booleans -1 / 0).
    //   ReadBool:  "true"/"false", "yes"/"no" in any case, or a number
    //              (non-zero is true), or the typed value.
    //   ReadFloat: the text read as a float whatever the node's data type.
    bool ReadText(const std::string& xpath, std::string* out) const;
    bool ReadLong(const std::string& xpath, std::int32_t* out) const;
    bool ReadBool(const std::string& xpath, bool* out) const;
    bool ReadFloat(const std::string& xpath, double* out) const;

    // Same node of the same document.
    friend bool operator==(const CXmlNode& a, const CXmlNode& b) {
        return a.m_node == b.m_node && a.m_attr == b.m_attr;
    }

private:
    friend class CXmlDocument;

    CXmlNode(CXmlDocumentState* owner, pugi::xml_node_struct* node,
             pugi::xml_attribute_struct* attr = nullptr)
        : m_owner(owner), m_node(node), m_attr(attr) {}
    static CXmlNode FromXPath(CXmlDocumentState* owner, const pugi::xpath_node& found);
    bool IsElement() const;
    void RequireTreeChange(const char* operation) const;

    CXmlDocumentState* m_owner = nullptr;
    // The node; for an attribute, the element that carries it.
    pugi::xml_node_struct* m_node = nullptr;
    pugi::xml_attribute_struct* m_attr = nullptr;
};
