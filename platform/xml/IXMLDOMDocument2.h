// The COM face of the XML document layer: a document (IXMLDOMDocument2), its
// nodes (IXMLDOMNode) and node lists (IXMLDOMNodeList), as the channel and
// the configuration manager pass configuration documents to each other in
// VT_DISPATCH VARIANTs. Strings are BSTR (UTF-16); the tree is a CXmlDocument
// (UTF-8), reached in process through IXmlDocumentAccess.
//
// Nodes: each node object keeps its document alive. removeChild hands back a
// detached copy of the removed node; other node objects that pointed into
// the removed subtree must not be used any more (CXmlNode's lifetime rules).
// Failures return the HRESULT and leave an error info naming the query, the
// file or the parse error (line and column).
//
// Thread safety: a document and its nodes are used by one thread at a time.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IDispatch.h"
#include "platform/com/Variant.h"

class CXmlDocument;
struct IXMLDOMNodeList;

struct IXMLDOMNode : IDispatch {
    static constexpr IID kIid = MakeGuid("{6A3C1E20-5B7D-4F18-9E42-7C0D2B1A6E01}");
    virtual HRESULT get_nodeName(BSTR* name) = 0;
    virtual HRESULT get_text(BSTR* text) = 0;
    virtual HRESULT put_text(BSTR text) = 0;
    virtual HRESULT get_xml(BSTR* xml) = 0;
    // The node's text as VT_BSTR; typed reading is the caller's conversion.
    virtual HRESULT get_nodeTypedValue(VARIANT* value) = 0;
    // S_FALSE and null when nothing matches; E_INVALIDARG for a bad query.
    virtual HRESULT selectSingleNode(BSTR xpath, IXMLDOMNode** node) = 0;
    virtual HRESULT selectNodes(BSTR xpath, IXMLDOMNodeList** list) = 0;
    virtual HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) = 0;
    virtual HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** added) = 0;
    virtual HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) = 0;
    // Elements: attribute value as VT_BSTR, VT_NULL when absent.
    virtual HRESULT getAttribute(BSTR name, VARIANT* value) = 0;
    // Elements: the value converted to text (booleans "true"/"false").
    virtual HRESULT setAttribute(BSTR name, VARIANT value) = 0;

protected:
    ~IXMLDOMNode() override = default;
};

struct IXMLDOMNodeList : IDispatch {
    static constexpr IID kIid = MakeGuid("{6A3C1E21-5B7D-4F18-9E42-7C0D2B1A6E01}");
    virtual HRESULT get_length(LONG* length) = 0;
    // S_FALSE and null past the end.
    virtual HRESULT get_item(LONG index, IXMLDOMNode** node) = 0;
    virtual HRESULT nextNode(IXMLDOMNode** node) = 0;
    virtual HRESULT reset() = 0;

protected:
    ~IXMLDOMNodeList() override = default;
};

struct IXMLDOMDocument2 : IXMLDOMNode {
    static constexpr IID kIid = MakeGuid("{2933BF95-7B36-11D2-B20E-00C04F983E60}");
    // A path in a VT_BSTR, or another document of this process (VT_DISPATCH
    // or VT_UNKNOWN), whose tree is copied. *ok VARIANT_FALSE (and S_FALSE)
    // when it could not be read or parsed; the old content stays.
    virtual HRESULT load(VARIANT source, VARIANT_BOOL* ok) = 0;
    virtual HRESULT loadXML(BSTR text, VARIANT_BOOL* ok) = 0;
    virtual HRESULT get_documentElement(IXMLDOMNode** element) = 0;
    // The reason of the last failed load ("" after a good one).
    virtual HRESULT get_parseError(BSTR* reason) = 0;

protected:
    ~IXMLDOMDocument2() override = default;
};

// In-process access to the tree behind a document object.
struct IXmlDocumentAccess : IUnknown {
    static constexpr IID kIid = MakeGuid("{6A3C1E22-5B7D-4F18-9E42-7C0D2B1A6E01}");
    virtual CXmlDocument* Document() = 0;

protected:
    ~IXmlDocumentAccess() override = default;
};

inline constexpr CLSID CLSID_DOMDocument40 = MakeGuid("{88D969C0-F192-11D4-A65F-0040963251E5}");
inline constexpr IID IID_IXMLDOMDocument2 = IXMLDOMDocument2::kIid;
inline constexpr const char kDomDocumentProgId[] = "Tms.XmlDocument.1";

// Creates an empty document object and asks it for iid.
HRESULT CreateXmlDomDocument(const IID& iid, void** object);
