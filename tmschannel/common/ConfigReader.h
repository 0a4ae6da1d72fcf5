// Typed reads from a configuration document by XPath, as every part of the
// channel reads its settings: a query that selects nothing leaves the target
// as it was (its default) and returns false; a failing query or a value that
// cannot be converted raises the failure through the caller's trace, naming
// the XPath.
//
// Booleans accept true and false in any letter case, and numbers (non-zero
// is true). Queries are relative to the node given (the document itself for
// absolute ones).
//
// Thread safety: none of its own; a document is used by one thread at a time.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "tmschannel/frame/EntryPoint.h"

#include <cstdint>
#include <string>

// printf into a std::string (queries with "%d" and "%s").
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

class CConfigReader {
public:
    explicit CConfigReader(CEntryPoint& trace) : m_trace(trace) {}

    // The first node the query selects; null when none.
    CComPtr<IXMLDOMNode> Node(IXMLDOMNode* on, const std::string& xpath);
    CComPtr<IXMLDOMNodeList> Nodes(IXMLDOMNode* on, const std::string& xpath);
    // Every node of a list, in order.
    std::vector<CComPtr<IXMLDOMNode>> All(IXMLDOMNodeList* list);

    bool Text(IXMLDOMNode* on, const std::string& xpath, std::string* value);
    bool Long(IXMLDOMNode* on, const std::string& xpath, std::int32_t* value);
    bool Bool(IXMLDOMNode* on, const std::string& xpath, bool* value);
    bool Float(IXMLDOMNode* on, const std::string& xpath, float* value);

    // The node's own name ("Video" for a <Video> element).
    std::string NodeName(IXMLDOMNode* node);

private:
    [[noreturn]] void Fail(HRESULT hr, const std::string& xpath, const char* what);

    CEntryPoint& m_trace;
};
