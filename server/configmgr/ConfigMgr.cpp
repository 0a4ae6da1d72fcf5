#include "server/configmgr/ConfigMgr.h"

#include <cstdio>

#include "platform/com/ErrorInfo.h"
#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/LocalTime.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "platform/xml/XmlDocument.h"
#include "platform/xml/XmlError.h"
#include "server/configmgr/SystemConfigStore.h"
#include "server/errorlog/ErrorLog.h"

namespace {

std::string FromBstr(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

void Log(LONG level, HRESULT hr, const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ErrorLogWriteExW(hr, now, 0, level, "ConfigMgr.cpp", 0, 0, text.c_str(), 0);
}

HRESULT Fail(HRESULT hr, const std::string& text) {
    Log(ERRORLOG_LEVEL_ERROR, hr, "configuration manager: " + text);
    return ReportErrorInfo(hr, IID_IConfigMgr, "ConfigMgr", text);
}

// The tree behind a VT_DISPATCH document of this process.
CXmlDocument* TargetOf(const VARIANT* document) {
    if (document == nullptr)
        throw CConfigError(E_POINTER, "no document VARIANT given");
    if (document->vt != VT_DISPATCH || document->pdispVal == nullptr) {
        throw CConfigError(E_INVALIDARG,
                           "the document must be an XML document in a VT_DISPATCH "
                           "VARIANT, not VARIANT type " +
                               std::to_string(document->vt));
    }
    IXmlDocumentAccess* access = nullptr;
    if (FAILED(document->pdispVal->QueryInterface(IXmlDocumentAccess::kIid,
                                                  reinterpret_cast<void**>(&access)))) {
        throw CConfigError(E_NOINTERFACE, "the VT_DISPATCH value is not an XML document");
    }
    CXmlDocument* doc = access->Document();
    access->Release();  // the caller's VARIANT keeps the document alive
    return doc;
}

// The one element an XPath selects.
CXmlNode SingleElement(CXmlDocument& doc, const std::string& xpath, const std::string& file) {
    CXmlNodeList nodes;
    try {
        nodes = doc.SelectNodes(xpath);
    } catch (const CXmlError& e) {
        throw CConfigError(E_INVALIDARG, "bad XPath '" + xpath + "': " + e.what());
    }
    if (nodes.size() != 1 || nodes[0].NodeType() != CXmlNode::Type::Element) {
        throw CConfigError(E_INVALIDARG, "XPath '" + xpath + "' selects " +
                                             std::to_string(nodes.size()) + " nodes in " + file +
                                             ", not one element");
    }
    return nodes[0];
}

std::string ValueText(const VARIANT& value) {
    if (value.vt == VT_BOOL)
        return value.boolVal ? "true" : "false";
    VARIANT text;
    VariantInit(&text);
    HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
    if (FAILED(hr)) {
        throw CConfigError(hr, "a value of VARIANT type " + std::to_string(value.vt) +
                                   " cannot be written as an attribute");
    }
    std::string s = FromBstr(text.bstrVal);
    VariantClear(&text);
    return s;
}

template <class F>
HRESULT Guard(F f) {
    try {
        return f();
    } catch (const CConfigError& e) {
        return Fail(e.Error(), e.what());
    } catch (const CXmlError& e) {
        return Fail(E_FAIL, e.what());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

HRESULT CConfigMgr::QueryExtraInterface(const IID& iid, void** object) {
    if (iid == IID_IDispatch) {
        AddRef();
        *object = static_cast<IDispatch*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void CConfigMgr::ApplyPending(CXmlDocument& doc) {
    CCriticalSectionLock lock(m_cs);
    for (const PendingAttribute& p : m_pending) {
        CXmlNodeList nodes = doc.SelectNodes(p.xpath);
        if (nodes.size() == 1)
            nodes[0].SetAttribute(p.attribute, p.value);
    }
}

HRESULT CConfigMgr::LoadChannel(const std::string& predicate, const std::string& what,
                                VARIANT* document) {
    return Guard([&]() -> HRESULT {
        CXmlDocument* target = TargetOf(document);
        CSystemConfigStore store;
        CXmlDocument doc = store.Load();
        ApplyPending(doc);
        CXmlNodeList channels = doc.SelectNodes("/Config/Channel");
        CXmlNode chosen;
        for (const CXmlNode& c : doc.SelectNodes("/Config/Channel[" + predicate + "]")) {
            if (!chosen.IsNull()) {
                throw CConfigError(E_INVALIDARG, what + " appears twice in " + store.Path());
            }
            chosen = c;
        }
        if (chosen.IsNull()) {
            throw CConfigError(E_INVALIDARG, what + " is not in " + store.Path());
        }
        CXmlNode config = doc.DocumentElement();
        for (const CXmlNode& c : channels) {
            if (!(c == chosen))
                config.RemoveChild(c);
        }
        std::int32_t index = -1;
        chosen.ReadLong("@channelIndex", &index);
        *target = std::move(doc);  // the tree itself, not a text round trip
        CCriticalSectionLock lock(m_cs);
        m_loaded.insert(index);
        return S_OK;
    });
}

HRESULT CConfigMgr::LoadChannelConfigByIndex(LONG channel, BSTR app, BSTR appServerUuid,
                                             VARIANT* document) {
    Log(ERRORLOG_LEVEL_TRACE, S_OK,
        "configuration manager: channel " + std::to_string(channel) + " for '" + FromBstr(app) +
            "' (" + FromBstr(appServerUuid) + ")");
    return LoadChannel("@channelIndex='" + std::to_string(channel) + "'",
                       "channel " + std::to_string(channel), document);
}

HRESULT CConfigMgr::LoadChannelConfigByName(BSTR channelName, BSTR app, BSTR appServerUuid,
                                            VARIANT* document) {
    const std::string name = FromBstr(channelName);
    if (name.empty() || name.find_first_of("'\"") != std::string::npos) {
        return Fail(E_INVALIDARG, "channel name '" + name + "' is empty or has quotes");
    }
    Log(ERRORLOG_LEVEL_TRACE, S_OK,
        "configuration manager: channel '" + name + "' for '" + FromBstr(app) + "' (" +
            FromBstr(appServerUuid) + ")");
    return LoadChannel("@id='" + name + "'", "channel '" + name + "'", document);
}

HRESULT CConfigMgr::ReleaseChannelConfig(LONG channelIndex) {
    CCriticalSectionLock lock(m_cs);
    return m_loaded.erase(channelIndex) ? S_OK : S_FALSE;
}

HRESULT CConfigMgr::LoadSystemConfig(VARIANT* document) {
    return Guard([&]() -> HRESULT {
        CXmlDocument* target = TargetOf(document);
        CXmlDocument doc = CSystemConfigStore().Load();
        ApplyPending(doc);
        *target = std::move(doc);  // the tree itself, not a text round trip
        return S_OK;
    });
}

HRESULT CConfigMgr::SetConfigAttribute(BSTR xpathText, const char* attribute, VARIANT value,
                                       LONG persist) {
    return Guard([&]() -> HRESULT {
        const std::string xpath = FromBstr(xpathText);
        const std::string name = attribute ? attribute : "";
        if (name.empty())
            throw CConfigError(E_INVALIDARG, "no attribute name given");
        const std::string text = ValueText(value);
        CSystemConfigStore store;
        if (persist != 0) {
            store.Update([&](CXmlDocument& doc) {
                CXmlNode element = SingleElement(doc, xpath, store.Path());
                try {
                    element.SetAttribute(name, text);
                } catch (const CXmlError& e) {
                    throw CConfigError(E_INVALIDARG,
                                       "cannot set attribute '" + name + "': " + e.what());
                }
            });
            Log(ERRORLOG_LEVEL_MESSAGE, S_OK,
                "configuration manager: " + xpath + "/@" + name + " = '" + text + "' in " +
                    store.Path());
            return S_OK;
        }
        CXmlDocument doc = store.Load();
        CXmlNode element = SingleElement(doc, xpath, store.Path());
        element.SetAttribute(name, text);  // checks the name before it is kept
        CCriticalSectionLock lock(m_cs);
        m_pending.push_back({xpath, name, text});
        return S_OK;
    });
}
