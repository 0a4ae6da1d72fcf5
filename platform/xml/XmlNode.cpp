#include "platform/xml/XmlNode.h"

#include <optional>

#include <cmath>
#include <cstring>

#include "platform/xml/XmlDocumentState.h"
#include "platform/xml/XmlError.h"
#include "platform/xml/XmlStringWriter.h"
#include "platform/xml/XmlTextConvert.h"

namespace {

constexpr unsigned kPrintFlags = pugi::format_raw | pugi::format_no_declaration;

pugi::xml_node Node(pugi::xml_node_struct* n) {
    return pugi::xml_node(n);
}

pugi::xml_node FirstElement(pugi::xml_node parent) {
    pugi::xml_node c = parent.first_child();
    while (c && c.type() != pugi::node_element) {
        c = c.next_sibling();
    }
    return c;
}

void AppendDescendantText(pugi::xml_node root, std::string* out) {
    pugi::xml_node cur = root.first_child();
    while (cur) {
        if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) {
            out->append(cur.value());
        }
        if (cur.first_child()) {
            cur = cur.first_child();
            continue;
        }
        while (cur != root && !cur.next_sibling()) {
            cur = cur.parent();
        }
        if (cur == root) {
            break;
        }
        cur = cur.next_sibling();
    }
}

std::string EscapeAttribute(const char* value) {
    std::string out;
    for (const char* p = value; *p != '\0'; ++p) {
        switch (*p) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += *p;
        }
    }
    return out;
}

// Whether `prefix` names the data-types namespace at `element`.
bool IsDataTypesPrefix(pugi::xml_node element, const std::string& prefix) {
    const std::string decl = "xmlns:" + prefix;
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        if (pugi::xml_attribute a = n.attribute(decl.c_str())) {
            return std::strcmp(a.value(), CXmlNode::kDataTypesNamespace) == 0;
        }
    }
    return prefix == "dt";
}

pugi::xml_attribute DataTypeAttribute(pugi::xml_node element) {
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
        const std::string name = a.name();
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ":dt") == 0 &&
            IsDataTypesPrefix(element, name.substr(0, name.size() - 3))) {
            return a;
        }
    }
    return {};
}

// A prefix usable for a new dt attribute on `element`, declaring it there
// when no bound one is in scope.
std::string DataTypesPrefixFor(pugi::xml_node element) {
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
            if (std::strncmp(a.name(), "xmlns:", 6) == 0 &&
                std::strcmp(a.value(), CXmlNode::kDataTypesNamespace) == 0 &&
                IsDataTypesPrefix(element, a.name() + 6)) {
                return a.name() + 6;
            }
        }
    }
    auto declared = [&](const std::string& prefix) {
        const std::string decl = "xmlns:" + prefix;
        for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
            if (n.attribute(decl.c_str())) {
                return true;
            }
        }
        return false;
    };
    std::string prefix = "dt";
    for (int i = 2; declared(prefix); ++i) {
        prefix = "dt" + std::to_string(i);
    }
    element.append_attribute(("xmlns:" + prefix).c_str()).set_value(CXmlNode::kDataTypesNamespace);
    return prefix;
}

bool IsKnownDataType(const std::string& type) {
    static const char* const kTypes[] = {"string",     "float", "number", "r4",  "r8",
                                         "fixed.14.4", "int",   "i1",     "i2",  "i4",
                                         "i8",         "ui1",   "ui2",    "ui4", "boolean"};
    for (const char* t : kTypes) {
        if (type == t) {
            return true;
        }
    }
    return false;
}

// Reads `text` as `type`; throws naming `what` (the element) on failure.
CXmlTypedValue TypedValueOf(const std::string& type, std::string text, const std::string& what) {
    struct IntegerType {
        const char* name;
        std::int64_t min;
        std::int64_t max;
    };
    static const IntegerType kIntegers[] = {
        {"int", INT64_MIN, INT64_MAX}, {"i8", INT64_MIN, INT64_MAX}, {"i1", INT8_MIN, INT8_MAX},
        {"i2", INT16_MIN, INT16_MAX},  {"i4", INT32_MIN, INT32_MAX}, {"ui1", 0, UINT8_MAX},
        {"ui2", 0, UINT16_MAX},        {"ui4", 0, UINT32_MAX},
    };
    auto fail = [&]() {
        return CXmlError("Element '" + what + "' of data type '" + type + "' holds '" + text +
                         "', which is not a valid " + type);
    };
    if (type == "float" || type == "number" || type == "r4" || type == "r8" ||
        type == "fixed.14.4") {
        double v;
        if (!xmltext::ParseDouble(text, &v)) {
            throw fail();
        }
        return CXmlTypedValue::OfNumber(std::move(text), v);
    }
    if (type == "boolean") {
        bool v;
        if (!xmltext::ParseBool(text, &v)) {
            throw fail();
        }
        return CXmlTypedValue::OfBoolean(std::move(text), v);
    }
    for (const IntegerType& t : kIntegers) {
        if (type == t.name) {
            std::int64_t v;
            if (!xmltext::ParseInteger(text, t.min, t.max, &v)) {
                throw fail();
            }
            return CXmlTypedValue::OfInteger(std::move(text), v);
        }
    }
    return CXmlTypedValue::OfString(std::move(text));
}

CXmlError ConversionError(const std::string& xpath, const std::string& text, const char* what) {
    return CXmlError("XPath '" + xpath + "' selects '" + text + "', which is not " + what);
}

CXmlError XPathError(const std::string& xpath, const pugi::xpath_exception& e) {
    std::string message = "Invalid XPath '" + xpath + "': " + e.what();
    if (e.result().offset > 0) {
        message += " (at offset " + std::to_string(e.result().offset) + ")";
    }
    return CXmlError(message);
}

}  // namespace

CXmlNode CXmlNode::FromXPath(CXmlDocumentState* owner, const pugi::xpath_node& found) {
    if (found.attribute()) {
        return CXmlNode(owner, found.parent().internal_object(),
                        found.attribute().internal_object());
    }
    return CXmlNode(owner, found.node().internal_object());
}

bool CXmlNode::IsElement() const {
    return m_attr == nullptr && Node(m_node).type() == pugi::node_element;
}

void CXmlNode::RequireTreeChange(const char* operation) const {
    if (IsNull()) {
        throw CXmlError(std::string(operation) + " on a null node");
    }
}

CXmlNode::Type CXmlNode::NodeType() const {
    if (IsNull()) {
        return Type::Null;
    }
    if (m_attr != nullptr) {
        return Type::Attribute;
    }
    switch (Node(m_node).type()) {
        case pugi::node_document:
            return Type::Document;
        case pugi::node_element:
            return Type::Element;
        case pugi::node_pcdata:
            return Type::Text;
        case pugi::node_cdata:
            return Type::CData;
        case pugi::node_comment:
            return Type::Comment;
        case pugi::node_pi:
            return Type::ProcessingInstruction;
        case pugi::node_declaration:
            return Type::Declaration;
        case pugi::node_doctype:
            return Type::DocumentType;
        default:
            return Type::Null;
    }
}

std::string CXmlNode::Name() const {
    switch (NodeType()) {
        case Type::Null:
            return "";
        case Type::Attribute:
            return pugi::xml_attribute(m_attr).name();
        case Type::Document:
            return "#document";
        case Type::Text:
            return "#text";
        case Type::CData:
            return "#cdata-section";
        case Type::Comment:
            return "#comment";
        case Type::DocumentType: {
            const std::string v = Node(m_node).value();
            return v.substr(0, v.find_first_of(" \t\r\n["));
        }
        default:
            return Node(m_node).name();
    }
}

std::string CXmlNode::Text() const {
    switch (NodeType()) {
        case Type::Null:
        case Type::Declaration:
        case Type::DocumentType:
            return "";
        case Type::Attribute:
            return pugi::xml_attribute(m_attr).value();
        case Type::Element:
        case Type::Document: {
            std::string text;
            AppendDescendantText(Node(m_node), &text);
            return std::string(xmltext::Trim(text));
        }
        default:
            return Node(m_node).value();
    }
}

void CXmlNode::SetText(const std::string& text) {
    RequireTreeChange("SetText");
    switch (NodeType()) {
        case Type::Attribute:
            pugi::xml_attribute(m_attr).set_value(text.c_str());
            return;
        case Type::Element: {
            pugi::xml_node e = Node(m_node);
            while (e.first_child()) {
                e.remove_child(e.first_child());
            }
            if (!text.empty()) {
                e.append_child(pugi::node_pcdata).set_value(text.c_str());
            }
            return;
        }
        case Type::Text:
        case Type::CData:
        case Type::Comment:
        case Type::ProcessingInstruction:
            Node(m_node).set_value(text.c_str());
            return;
        default:
            throw CXmlError("SetText: node '" + Name() + "' has no text of its own");
    }
}

std::optional<std::string> CXmlNode::GetAttribute(const std::string& name) const {
    if (IsNull() || !IsElement()) {
        return std::nullopt;
    }
    pugi::xml_attribute a = Node(m_node).attribute(name.c_str());
    if (!a) {
        return std::nullopt;
    }
    return std::string(a.value());
}

void CXmlNode::SetAttribute(const std::string& name, const std::string& value) {
    RequireTreeChange("SetAttribute");
    if (!IsElement()) {
        throw CXmlError("SetAttribute '" + name + "': node '" + Name() + "' is not an element");
    }
    if (!xmltext::IsName(name)) {
        throw CXmlError("SetAttribute: '" + name + "' is not a valid attribute name");
    }
    pugi::xml_node e = Node(m_node);
    pugi::xml_attribute a = e.attribute(name.c_str());
    if (!a) {
        a = e.append_attribute(name.c_str());
    }
    a.set_value(value.c_str());
}

bool CXmlNode::RemoveAttribute(const std::string& name) {
    RequireTreeChange("RemoveAttribute");
    if (!IsElement()) {
        throw CXmlError("RemoveAttribute '" + name + "': node '" + Name() + "' is not an element");
    }
    return Node(m_node).remove_attribute(name.c_str());
}

CXmlNode CXmlNode::SelectSingleNode(const std::string& xpath) const {
    if (IsNull()) {
        return {};
    }
    try {
        const pugi::xpath_query query(xpath.c_str());
        const pugi::xpath_node context =
            m_attr ? pugi::xpath_node(pugi::xml_attribute(m_attr), Node(m_node))
                   : pugi::xpath_node(Node(m_node));
        const pugi::xpath_node found = query.evaluate_node(context);
        return found ? FromXPath(m_owner, found) : CXmlNode();
    } catch (const pugi::xpath_exception& e) {
        throw XPathError(xpath, e);
    }
}

CXmlNodeList CXmlNode::SelectNodes(const std::string& xpath) const {
    CXmlNodeList nodes;
    if (IsNull()) {
        return nodes;
    }
    try {
        const pugi::xpath_query query(xpath.c_str());
        const pugi::xpath_node context =
            m_attr ? pugi::xpath_node(pugi::xml_attribute(m_attr), Node(m_node))
                   : pugi::xpath_node(Node(m_node));
        pugi::xpath_node_set found = query.evaluate_node_set(context);
        found.sort();
        nodes.reserve(found.size());
        for (const pugi::xpath_node& n : found) {
            nodes.push_back(FromXPath(m_owner, n));
        }
        return nodes;
    } catch (const pugi::xpath_exception& e) {
        throw XPathError(xpath, e);
    }
}

CXmlNode CXmlNode::AppendChild(const CXmlNode& child) {
    RequireTreeChange("AppendChild");
    const Type type = NodeType();
    if (type != Type::Element && type != Type::Document) {
        throw CXmlError("AppendChild: node '" + Name() + "' cannot have children");
    }
    if (child.IsNull()) {
        throw CXmlError("AppendChild: the child to append to '" + Name() + "' is a null node");
    }
    if (child.m_attr != nullptr || child.NodeType() == Type::Document) {
        throw CXmlError("AppendChild: '" + child.Name() + "' cannot be appended as a child");
    }
    pugi::xml_node parent = Node(m_node);
    pugi::xml_node source = Node(child.m_node);
    if (type == Type::Document && source.type() == pugi::node_element && FirstElement(parent) &&
        FirstElement(parent) != source) {
        throw CXmlError("AppendChild: a document holds one element, and it already has '" +
                        std::string(FirstElement(parent).name()) + "'");
    }
    const bool sameTree = source.root() == parent.root();
    pugi::xml_node result = sameTree ? parent.append_move(source) : parent.append_copy(source);
    if (!result) {
        throw CXmlError("AppendChild: '" + child.Name() + "' cannot be appended to '" + Name() +
                        "' (a node cannot go into itself or its own subtree)");
    }
    return CXmlNode(m_owner, result.internal_object());
}

CXmlNode CXmlNode::AppendElement(const std::string& name) {
    RequireTreeChange("AppendElement");
    if (!xmltext::IsName(name)) {
        throw CXmlError("AppendElement: '" + name + "' is not a valid element name");
    }
    const Type type = NodeType();
    if (type != Type::Element && type != Type::Document) {
        throw CXmlError("AppendElement: node '" + Name() + "' cannot have children");
    }
    pugi::xml_node parent = Node(m_node);
    if (type == Type::Document && FirstElement(parent)) {
        throw CXmlError("AppendElement: a document holds one element, and it already has '" +
                        std::string(FirstElement(parent).name()) + "'");
    }
    return CXmlNode(m_owner, parent.append_child(name.c_str()).internal_object());
}

void CXmlNode::RemoveChild(const CXmlNode& child) {
    RequireTreeChange("RemoveChild");
    if (child.IsNull() || child.m_attr != nullptr || Node(child.m_node).parent() != Node(m_node) ||
        m_attr) {
        throw CXmlError("RemoveChild: '" + child.Name() + "' is not a child of '" + Name() + "'");
    }
    Node(m_node).remove_child(Node(child.m_node));
}

CXmlNode CXmlNode::ParentNode() const {
    if (IsNull() || m_attr != nullptr) {
        return {};
    }
    pugi::xml_node parent = Node(m_node).parent();
    if (!parent || (parent.type() == pugi::node_document && parent != m_owner->tree)) {
        return {};
    }
    return CXmlNode(m_owner, parent.internal_object());
}

CXmlNodeList CXmlNode::ChildNodes() const {
    CXmlNodeList nodes;
    if (IsNull() || m_attr != nullptr) {
        return nodes;
    }
    for (pugi::xml_node c = Node(m_node).first_child(); c; c = c.next_sibling()) {
        nodes.push_back(CXmlNode(m_owner, c.internal_object()));
    }
    return nodes;
}

std::string CXmlNode::Xml() const {
    if (IsNull()) {
        return "";
    }
    if (m_attr != nullptr) {
        pugi::xml_attribute a(m_attr);
        return std::string(a.name()) + "=\"" + EscapeAttribute(a.value()) + "\"";
    }
    CXmlStringWriter writer;
    Node(m_node).print(writer, "", kPrintFlags, pugi::encoding_utf8);
    return std::move(writer.Text());
}

CXmlNode CXmlNode::CloneNode(bool deep) const {
    if (IsNull()) {
        return {};
    }
    const Type type = NodeType();
    if (type == Type::Attribute || type == Type::Document) {
        throw CXmlError("CloneNode: '" + Name() + "' cannot be cloned on its own");
    }
    pugi::xml_node source = Node(m_node);
    pugi::xml_document& holder = m_owner->NewDetached();
    pugi::xml_node copy;
    if (deep || type != Type::Element) {
        copy = holder.append_copy(source);
    } else {
        copy = holder.append_child(source.name());
        for (pugi::xml_attribute a = source.first_attribute(); a; a = a.next_attribute()) {
            copy.append_copy(a);
        }
    }
    if (!copy) {
        throw CXmlError("CloneNode: '" + Name() + "' cannot be cloned");
    }
    return CXmlNode(m_owner, copy.internal_object());
}

std::string CXmlNode::DataType() const {
    if (IsNull() || !IsElement()) {
        return "";
    }
    return DataTypeAttribute(Node(m_node)).value();
}

void CXmlNode::SetDataType(const std::string& type) {
    RequireTreeChange("SetDataType");
    if (!IsElement()) {
        throw CXmlError("SetDataType: node '" + Name() +
                        "' is not an element; only elements carry a data type");
    }
    pugi::xml_node e = Node(m_node);
    pugi::xml_attribute existing = DataTypeAttribute(e);
    if (type.empty()) {
        if (existing) {
            e.remove_attribute(existing);
        }
        return;
    }
    if (!IsKnownDataType(type)) {
        throw CXmlError("SetDataType: '" + type + "' is not a supported data type");
    }
    TypedValueOf(type, Text(), Name());  // the current text must convert
    if (!existing) {
        existing = e.append_attribute((DataTypesPrefixFor(e) + ":dt").c_str());
    }
    existing.set_value(type.c_str());
}

CXmlTypedValue CXmlNode::TypedValue() const {
    if (IsNull() || !IsElement()) {
        return CXmlTypedValue::OfString(Text());
    }
    return TypedValueOf(DataType(), Text(), Name());
}

bool CXmlNode::ReadText(const std::string& xpath, std::string* out) const {
    const CXmlNode n = SelectSingleNode(xpath);
    if (n.IsNull()) {
        return false;
    }
    *out = n.Text();
    return true;
}

namespace {

// The typed value of the node a query selects; nullopt when it selects nothing.
std::optional<CXmlTypedValue> SelectedTypedValue(const CXmlNode& context,
                                                 const std::string& xpath) {
    const CXmlNode n = context.SelectSingleNode(xpath);
    if (n.IsNull()) {
        return std::nullopt;
    }
    try {
        return n.TypedValue();
    } catch (const CXmlError& e) {
        throw CXmlError("XPath '" + xpath + "': " + e.what());
    }
}

}  // namespace

bool CXmlNode::ReadLong(const std::string& xpath, std::int32_t* out) const {
    const std::optional<CXmlTypedValue> selected = SelectedTypedValue(*this, xpath);
    if (!selected) {
        return false;
    }
    const CXmlTypedValue& v = *selected;
    constexpr const char* kWhat = "a valid 32-bit integer";
    switch (v.GetKind()) {
        case CXmlTypedValue::Kind::String:
            if (!xmltext::ParseLong(v.Text(), out)) {
                throw ConversionError(xpath, v.Text(), kWhat);
            }
            return true;
        case CXmlTypedValue::Kind::Integer:
            if (v.Integer() < INT32_MIN || v.Integer() > INT32_MAX) {
                throw ConversionError(xpath, v.Text(), kWhat);
            }
            *out = static_cast<std::int32_t>(v.Integer());
            return true;
        case CXmlTypedValue::Kind::Number: {
            const double r = std::nearbyint(v.Number());
            if (!(r >= INT32_MIN && r <= INT32_MAX)) {
                throw ConversionError(xpath, v.Text(), kWhat);
            }
            *out = static_cast<std::int32_t>(r);
            return true;
        }
        case CXmlTypedValue::Kind::Boolean:
            *out = v.Boolean() ? -1 : 0;
            return true;
    }
    return false;
}

bool CXmlNode::ReadBool(const std::string& xpath, bool* out) const {
    const std::optional<CXmlTypedValue> selected = SelectedTypedValue(*this, xpath);
    if (!selected) {
        return false;
    }
    const CXmlTypedValue& v = *selected;
    switch (v.GetKind()) {
        case CXmlTypedValue::Kind::String:
            if (!xmltext::ParseBool(v.Text(), out)) {
                throw ConversionError(xpath, v.Text(),
                                      "a boolean (true/false, yes/no or a number)");
            }
            return true;
        case CXmlTypedValue::Kind::Integer:
            *out = v.Integer() != 0;
            return true;
        case CXmlTypedValue::Kind::Number:
            *out = v.Number() != 0;
            return true;
        case CXmlTypedValue::Kind::Boolean:
            *out = v.Boolean();
            return true;
    }
    return false;
}

bool CXmlNode::ReadFloat(const std::string& xpath, double* out) const {
    const CXmlNode n = SelectSingleNode(xpath);
    if (n.IsNull()) {
        return false;
    }
    const std::string text = n.Text();
    if (!xmltext::ParseDouble(text, out)) {
        throw ConversionError(xpath, text, "a valid float");
    }
    return true;
}
