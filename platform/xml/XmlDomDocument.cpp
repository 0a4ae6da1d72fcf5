// The document, node and node-list objects behind IXMLDOMDocument2.
#include <optional>
#include <vector>

#include "platform/com/ComObjectBase.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Utf.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "platform/xml/XmlDocument.h"
#include "platform/xml/XmlError.h"

namespace {

// Identifies our own node objects among IXMLDOMNode pointers (in process,
// no reference is taken).
constexpr IID kNodeObjectIid = MakeGuid("{6A3C1E23-5B7D-4F18-9E42-7C0D2B1A6E01}");

std::string FromBstr(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

HRESULT ToBstr(const std::string& text, BSTR* out) {
    if (out == nullptr)
        return E_POINTER;
    const std::u16string wide = Utf8ToUtf16(text);
    *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Fail(HRESULT hr, const std::string& text) {
    return ReportErrorInfo(hr, IXMLDOMDocument2::kIid, "XML document", text);
}

template <class F>
HRESULT Guard(F f) {
    try {
        f();
        return S_OK;
    } catch (const CXmlError& e) {
        return Fail(E_INVALIDARG, e.what());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// What a node object is, for the calls that take another node.
struct DomNodeRef {
    CXmlDocument* doc;
    CXmlNode node;
};

HRESULT WrapNode(IUnknown* owner, CXmlDocument* doc, const CXmlNode& node, IXMLDOMNode** out);
HRESULT WrapList(IUnknown* owner, CXmlDocument* doc, CXmlNodeList nodes, IXMLDOMNodeList** out);

// IXMLDOMNode over one CXmlNode, for the node objects and the document.
template <class... Interfaces>
class CDomNodeBase : public CComObjectBase<Interfaces...> {
public:
    HRESULT get_nodeName(BSTR* name) override { return ToBstr(Node().Name(), name); }
    HRESULT get_text(BSTR* text) override { return ToBstr(Node().Text(), text); }
    HRESULT put_text(BSTR text) override {
        return Guard([&] { Node().SetText(FromBstr(text)); });
    }
    HRESULT get_xml(BSTR* xml) override { return ToBstr(Node().Xml(), xml); }
    HRESULT get_nodeTypedValue(VARIANT* value) override {
        if (value == nullptr)
            return E_POINTER;
        VariantInit(value);
        HRESULT hr = ToBstr(Node().Text(), &value->bstrVal);
        if (SUCCEEDED(hr))
            value->vt = VT_BSTR;
        return hr;
    }
    HRESULT selectSingleNode(BSTR xpath, IXMLDOMNode** node) override {
        if (node == nullptr)
            return E_POINTER;
        *node = nullptr;
        CXmlNode found;
        HRESULT hr = Guard([&] { found = Node().SelectSingleNode(FromBstr(xpath)); });
        if (FAILED(hr))
            return hr;
        return found.IsNull() ? S_FALSE : WrapNode(Owner(), Doc(), found, node);
    }
    HRESULT selectNodes(BSTR xpath, IXMLDOMNodeList** list) override {
        if (list == nullptr)
            return E_POINTER;
        *list = nullptr;
        CXmlNodeList found;
        HRESULT hr = Guard([&] { found = Node().SelectNodes(FromBstr(xpath)); });
        return FAILED(hr) ? hr : WrapList(Owner(), Doc(), std::move(found), list);
    }
    HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) override {
        DomNodeRef ref;
        if (!Resolve(child, &ref))
            return E_INVALIDARG;
        if (removed)
            *removed = nullptr;
        if (ref.node.ParentNode() != Node()) {
            return Fail(E_INVALIDARG,
                        "removeChild: the node is not a child of '" + Node().Name() + "'");
        }
        CXmlNode copy;
        HRESULT hr = Guard([&] {
            if (removed)
                copy = ref.node.CloneNode(true);
            Node().RemoveChild(ref.node);
        });
        if (FAILED(hr) || removed == nullptr)
            return hr;
        return WrapNode(Owner(), Doc(), copy, removed);
    }
    HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** added) override {
        DomNodeRef ref;
        if (!Resolve(child, &ref))
            return E_INVALIDARG;
        if (added)
            *added = nullptr;
        CXmlNode placed;
        HRESULT hr = Guard([&] { placed = Node().AppendChild(ref.node); });
        if (FAILED(hr) || added == nullptr)
            return hr;
        return WrapNode(Owner(), Doc(), placed, added);
    }
    HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) override {
        if (clone == nullptr)
            return E_POINTER;
        *clone = nullptr;
        CXmlNode copy;
        HRESULT hr = Guard([&] { copy = Node().CloneNode(deep != VARIANT_FALSE); });
        return FAILED(hr) ? hr : WrapNode(Owner(), Doc(), copy, clone);
    }
    HRESULT getAttribute(BSTR name, VARIANT* value) override {
        if (value == nullptr)
            return E_POINTER;
        VariantInit(value);
        std::optional<std::string> v = Node().GetAttribute(FromBstr(name));
        if (!v) {
            value->vt = VT_NULL;
            return S_FALSE;
        }
        HRESULT hr = ToBstr(*v, &value->bstrVal);
        if (SUCCEEDED(hr))
            value->vt = VT_BSTR;
        return hr;
    }
    HRESULT setAttribute(BSTR name, VARIANT value) override {
        std::string text;
        if (value.vt == VT_BOOL) {
            text = value.boolVal ? "true" : "false";
        } else {
            VARIANT converted;
            VariantInit(&converted);
            HRESULT hr = VariantChangeType(&converted, &value, 0, VT_BSTR);
            if (FAILED(hr)) {
                return Fail(hr, "setAttribute: a value of VARIANT type " +
                                    std::to_string(value.vt) + " cannot be written as text");
            }
            text = FromBstr(converted.bstrVal);
            VariantClear(&converted);
        }
        return Guard([&] { Node().SetAttribute(FromBstr(name), text); });
    }

protected:
    virtual CXmlNode Node() = 0;
    virtual CXmlDocument* Doc() = 0;
    virtual IUnknown* Owner() = 0;

    // A node of the same document (or another of ours, which AppendChild copies).
    static bool Resolve(IXMLDOMNode* node, DomNodeRef* ref) {
        void* raw = nullptr;
        if (node == nullptr || node->QueryInterface(kNodeObjectIid, &raw) != S_OK)
            return false;
        *ref = *static_cast<DomNodeRef*>(raw);
        return true;
    }
};

class CDomNode : public CDomNodeBase<IXMLDOMNode> {
public:
    CDomNode(IUnknown* owner, CXmlDocument* doc, CXmlNode node)
        : m_owner(owner), m_ref{doc, node} {}

protected:
    CXmlNode Node() override { return m_ref.node; }
    CXmlDocument* Doc() override { return m_ref.doc; }
    IUnknown* Owner() override { return m_owner.operator->(); }
    HRESULT QueryExtraInterface(const IID& iid, void** object) override {
        if (iid == IID_IDispatch) {
            AddRef();
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        if (iid == kNodeObjectIid) {
            *object = &m_ref;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    CComPtr<IUnknown> m_owner;  // keeps the document alive
    DomNodeRef m_ref;
};

class CDomNodeList : public CComObjectBase<IXMLDOMNodeList> {
public:
    CDomNodeList(IUnknown* owner, CXmlDocument* doc, CXmlNodeList nodes)
        : m_owner(owner), m_doc(doc), m_nodes(std::move(nodes)) {}

    HRESULT get_length(LONG* length) override {
        if (length == nullptr)
            return E_POINTER;
        *length = static_cast<LONG>(m_nodes.size());
        return S_OK;
    }
    HRESULT get_item(LONG index, IXMLDOMNode** node) override {
        if (node == nullptr)
            return E_POINTER;
        *node = nullptr;
        if (index < 0 || static_cast<std::size_t>(index) >= m_nodes.size())
            return S_FALSE;
        return WrapNode(m_owner.operator->(), m_doc, m_nodes[index], node);
    }
    HRESULT nextNode(IXMLDOMNode** node) override {
        HRESULT hr = get_item(m_next, node);
        if (hr == S_OK)
            ++m_next;
        return hr;
    }
    HRESULT reset() override {
        m_next = 0;
        return S_OK;
    }

protected:
    HRESULT QueryExtraInterface(const IID& iid, void** object) override {
        if (iid == IID_IDispatch) {
            AddRef();
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    CComPtr<IUnknown> m_owner;
    CXmlDocument* m_doc;
    CXmlNodeList m_nodes;
    LONG m_next = 0;
};

class CDomDocument : public CDomNodeBase<IXMLDOMDocument2, IXmlDocumentAccess> {
public:
    HRESULT load(VARIANT source, VARIANT_BOOL* ok) override {
        if (source.vt == VT_DISPATCH || source.vt == VT_UNKNOWN) {
            // Another document of this process: a deep copy of its tree.
            IUnknown* object = source.vt == VT_DISPATCH ? source.pdispVal : source.punkVal;
            CComPtr<IXmlDocumentAccess> other;
            if (object == nullptr ||
                FAILED(object->QueryInterface(IXmlDocumentAccess::kIid,
                                              reinterpret_cast<void**>(&other)))) {
                SetOk(ok, false);
                return Fail(E_INVALIDARG, "load: the source object is not an XML document");
            }
            if (other->Document() == &m_doc) {
                SetOk(ok, true);
                return S_OK;
            }
            return Parse([&] { m_doc = other->Document()->Clone(); }, ok);
        }
        if (source.vt != VT_BSTR) {
            SetOk(ok, false);
            return Fail(E_INVALIDARG,
                        "load: the source is a path in a VT_BSTR or a document, not VARIANT type " +
                            std::to_string(source.vt));
        }
        return Parse([&] { m_doc.Load(FromBstr(source.bstrVal)); }, ok);
    }
    HRESULT loadXML(BSTR text, VARIANT_BOOL* ok) override {
        return Parse([&] { m_doc.LoadXml(FromBstr(text)); }, ok);
    }
    HRESULT get_documentElement(IXMLDOMNode** element) override {
        if (element == nullptr)
            return E_POINTER;
        *element = nullptr;
        CXmlNode e = m_doc.DocumentElement();
        return e.IsNull() ? S_FALSE : WrapNode(Owner(), &m_doc, e, element);
    }
    HRESULT get_parseError(BSTR* reason) override { return ToBstr(m_parseError, reason); }
    CXmlDocument* Document() override { return &m_doc; }

protected:
    CXmlNode Node() override { return m_doc.DocumentNode(); }
    CXmlDocument* Doc() override { return &m_doc; }
    IUnknown* Owner() override { return static_cast<IXMLDOMDocument2*>(this); }
    HRESULT QueryExtraInterface(const IID& iid, void** object) override {
        if (iid == IID_IDispatch || iid == IXMLDOMNode::kIid) {
            AddRef();
            *object = static_cast<IXMLDOMNode*>(static_cast<IXMLDOMDocument2*>(this));
            return S_OK;
        }
        if (iid == kNodeObjectIid) {
            m_ref = {&m_doc, m_doc.DocumentNode()};
            *object = &m_ref;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    static void SetOk(VARIANT_BOOL* ok, bool value) {
        if (ok)
            *ok = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    template <class F>
    HRESULT Parse(F f, VARIANT_BOOL* ok) {
        try {
            f();
            m_parseError.clear();
            SetOk(ok, true);
            return S_OK;
        } catch (const CXmlError& e) {
            m_parseError = e.what();
            SetOk(ok, false);
            Fail(S_FALSE, m_parseError);
            return S_FALSE;
        }
    }

    CXmlDocument m_doc;
    std::string m_parseError;
    DomNodeRef m_ref{};
};

HRESULT WrapNode(IUnknown* owner, CXmlDocument* doc, const CXmlNode& node, IXMLDOMNode** out) {
    return CreateComObject<CDomNode>(IXMLDOMNode::kIid, reinterpret_cast<void**>(out), owner, doc,
                                     node);
}

HRESULT WrapList(IUnknown* owner, CXmlDocument* doc, CXmlNodeList nodes, IXMLDOMNodeList** out) {
    return CreateComObject<CDomNodeList>(IXMLDOMNodeList::kIid, reinterpret_cast<void**>(out),
                                         owner, doc, std::move(nodes));
}

}  // namespace

HRESULT CreateXmlDomDocument(const IID& iid, void** object) {
    return CreateComObject<CDomDocument>(iid, object);
}
