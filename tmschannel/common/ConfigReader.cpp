#include "tmschannel/common/ConfigReader.h"

#include "platform/com/ComError.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Variant.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/frame/ErrorFrame.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

namespace {

std::string Trimmed(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) {
        --e;
    }
    return text.substr(b, e - b);
}

}  // namespace

void CConfigReader::Fail(HRESULT hr, const std::string& xpath, const char* what) {
    std::string detail;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        detail = _com_error(hr, info).Description();
    }
    RaiseError(m_trace, hr, __FILE__, __LINE__, "%s: configuration query '%s'%s%s",
               _com_error(hr).ErrorMessage().c_str(), xpath.c_str(), what,
               detail.empty() ? "" : (": " + detail).c_str());
}

CComPtr<IXMLDOMNode> CConfigReader::Node(IXMLDOMNode* on, const std::string& xpath) {
    CComPtr<IXMLDOMNode> node;
    if (on == nullptr) {
        return node;
    }
    const HRESULT hr = on->selectSingleNode(CBstr(xpath), &node);
    if (FAILED(hr)) {
        Fail(hr, xpath, "");
    }
    return node;
}

CComPtr<IXMLDOMNodeList> CConfigReader::Nodes(IXMLDOMNode* on, const std::string& xpath) {
    CComPtr<IXMLDOMNodeList> list;
    if (on == nullptr) {
        return list;
    }
    const HRESULT hr = on->selectNodes(CBstr(xpath), &list);
    if (FAILED(hr)) {
        Fail(hr, xpath, "");
    }
    return list;
}

std::vector<CComPtr<IXMLDOMNode>> CConfigReader::All(IXMLDOMNodeList* list) {
    std::vector<CComPtr<IXMLDOMNode>> nodes;
    if (list == nullptr) {
        return nodes;
    }
    LONG length = 0;
    if (const HRESULT hr = list->get_length(&length); FAILED(hr)) {
        Fail(hr, "(node list)", " length");
    }
    for (LONG i = 0; i < length; ++i) {
        CComPtr<IXMLDOMNode> node;
        if (const HRESULT hr = list->get_item(i, &node); FAILED(hr)) {
            Fail(hr, "(node list)", " item");
        }
        if (node != nullptr) {
            nodes.push_back(node);
        }
    }
    return nodes;
}

std::string CConfigReader::NodeName(IXMLDOMNode* node) {
    CBstr name;
    if (const HRESULT hr = node->get_nodeName(&name); FAILED(hr)) {
        Fail(hr, "(node)", " name");
    }
    return name.ToUtf8();
}

bool CConfigReader::Text(IXMLDOMNode* on, const std::string& xpath, std::string* value) {
    CComPtr<IXMLDOMNode> node = Node(on, xpath);
    if (node == nullptr) {
        return false;
    }
    CBstr text;
    if (const HRESULT hr = node->get_text(&text); FAILED(hr)) {
        Fail(hr, xpath, " as text");
    }
    *value = text.ToUtf8();
    return true;
}

bool CConfigReader::Long(IXMLDOMNode* on, const std::string& xpath, std::int32_t* value) {
    std::string text;
    if (!Text(on, xpath, &text)) {
        return false;
    }
    CVariant source(text);
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, &source.GetVARIANT(), 0, VT_I4);
    if (FAILED(hr)) {
        Fail(hr, xpath, (" as a number, value '" + text + "'").c_str());
    }
    *value = converted.lVal;
    return true;
}

bool CConfigReader::Bool(IXMLDOMNode* on, const std::string& xpath, bool* value) {
    std::string text;
    if (!Text(on, xpath, &text)) {
        return false;
    }
    const std::string t = Trimmed(text);
    if (EqualsNoCase(t, "true")) {
        *value = true;
        return true;
    }
    if (EqualsNoCase(t, "false")) {
        *value = false;
        return true;
    }
    CVariant source(t);
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, &source.GetVARIANT(), 0, VT_R8);
    if (FAILED(hr)) {
        Fail(hr, xpath, (" as a boolean, value '" + text + "'").c_str());
    }
    *value = converted.dblVal != 0.0;
    return true;
}

bool CConfigReader::Float(IXMLDOMNode* on, const std::string& xpath, float* value) {
    std::string text;
    if (!Text(on, xpath, &text)) {
        return false;
    }
    const std::string t = Trimmed(text);
    char* end = nullptr;
    errno = 0;
    const float f = std::strtof(t.c_str(), &end);
    if (t.empty() || end == nullptr || *end != 0 || errno == ERANGE) {
        Fail(DISP_E_TYPEMISMATCH, xpath, (" as a float, value '" + text + "'").c_str());
    }
    *value = f;
    return true;
}
