#include "platform/com/Variant.h"

#include "platform/com/ComError.h"
#include "platform/com/IDispatch.h"
#include "platform/com/IUnknown.h"
#include "platform/com/SafeArray.h"
#include "platform/com/VariantDetail.h"

#include <cstring>
#include <utility>

namespace variant_detail {

namespace {

bool IsSupportedBaseType(VARTYPE base) {
    switch (base) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UNKNOWN:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool IsValidVariantType(VARTYPE vt) {
    const VARTYPE flags = vt & ~VT_TYPEMASK;
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((flags & ~(VT_ARRAY | VT_BYREF)) != 0) {
        return false;
    }
    if (base == VT_EMPTY || base == VT_NULL) {
        return flags == 0;
    }
    if (base == VT_VARIANT) {
        return flags != 0;
    }
    return IsSupportedBaseType(base);
}

bool IsValidElementType(VARTYPE vt) {
    return vt == VT_VARIANT || IsSupportedBaseType(vt);
}

HRESULT Dereference(const VARIANT& src, VARIANT* view) {
    if ((src.vt & VT_BYREF) == 0) {
        *view = src;
        return S_OK;
    }
    if (src.byref == nullptr) {
        return E_POINTER;
    }
    VARIANT v{};
    v.vt = src.vt & ~VT_BYREF;
    if ((v.vt & VT_ARRAY) != 0) {
        v.parray = *src.pparray;
        *view = v;
        return S_OK;
    }
    switch (v.vt) {
        case VT_I1:
            v.cVal = *src.pcVal;
            break;
        case VT_UI1:
            v.bVal = *src.pbVal;
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            std::memcpy(&v.iVal, src.byref, sizeof(v.iVal));
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            std::memcpy(&v.lVal, src.byref, sizeof(v.lVal));
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
            std::memcpy(&v.llVal, src.byref, sizeof(v.llVal));
            break;
        case VT_BSTR:
            v.bstrVal = *src.pbstrVal;
            break;
        case VT_UNKNOWN:
            v.punkVal = *src.ppunkVal;
            break;
        case VT_DISPATCH:
            v.pdispVal = *src.ppdispVal;
            break;
        case VT_VARIANT:
            if ((src.pvarVal->vt & VT_BYREF) != 0) {
                return E_INVALIDARG;
            }
            v = *src.pvarVal;
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    *view = v;
    return S_OK;
}

}  // namespace variant_detail

using variant_detail::IsValidVariantType;

void VariantInit(VARIANT* v) {
    if (v != nullptr) {
        std::memset(v, 0, sizeof(*v));
    }
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    if (!IsValidVariantType(v->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((v->vt & VT_BYREF) == 0) {
        if ((v->vt & VT_ARRAY) != 0) {
            const HRESULT hr = SafeArrayDestroy(v->parray);
            if (FAILED(hr)) {
                return hr;
            }
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if (v->vt == VT_UNKNOWN && v->punkVal != nullptr) {
            v->punkVal->Release();
        } else if (v->vt == VT_DISPATCH && v->pdispVal != nullptr) {
            v->pdispVal->Release();
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (dest == src) {
        return S_OK;
    }
    if (!IsValidVariantType(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *src;
    if ((src->vt & VT_BYREF) == 0) {
        if ((src->vt & VT_ARRAY) != 0) {
            hr = SafeArrayCopy(src->parray, &copy.parray);
        } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                                 SysStringByteLen(src->bstrVal));
            hr = copy.bstrVal == nullptr ? E_OUTOFMEMORY : S_OK;
        } else if (src->vt == VT_UNKNOWN && src->punkVal != nullptr) {
            src->punkVal->AddRef();
        } else if (src->vt == VT_DISPATCH && src->pdispVal != nullptr) {
            src->pdispVal->AddRef();
        }
    }
    if (FAILED(hr)) {
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (!IsValidVariantType(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARIANT view;
    HRESULT hr = variant_detail::Dereference(*src, &view);
    if (FAILED(hr)) {
        return hr;
    }
    // Copy into a fresh VARIANT first: src may be dest, or refer into it.
    VARIANT copy;
    VariantInit(&copy);
    hr = VariantCopy(&copy, &view);
    if (FAILED(hr)) {
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

namespace {

void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) {
        _com_issue_error(hr);
    }
}

}  // namespace

CVariant::CVariant(std::int32_t value) noexcept : CVariant() {
    m_var.vt = VT_I4;
    m_var.lVal = value;
}

CVariant::CVariant(std::int16_t value) noexcept : CVariant() {
    m_var.vt = VT_I2;
    m_var.iVal = value;
}

CVariant::CVariant(std::uint8_t value) noexcept : CVariant() {
    m_var.vt = VT_UI1;
    m_var.bVal = value;
}

CVariant::CVariant(std::uint32_t value) noexcept : CVariant() {
    m_var.vt = VT_UI4;
    m_var.ulVal = value;
}

CVariant::CVariant(std::int64_t value) noexcept : CVariant() {
    m_var.vt = VT_I8;
    m_var.llVal = value;
}

CVariant::CVariant(std::uint64_t value) noexcept : CVariant() {
    m_var.vt = VT_UI8;
    m_var.ullVal = value;
}

CVariant::CVariant(float value) noexcept : CVariant() {
    m_var.vt = VT_R4;
    m_var.fltVal = value;
}

CVariant::CVariant(double value) noexcept : CVariant() {
    m_var.vt = VT_R8;
    m_var.dblVal = value;
}

CVariant::CVariant(const char* utf8) : CVariant(CBstr(utf8)) {}

CVariant::CVariant(std::string_view utf8) : CVariant(CBstr(utf8)) {}

CVariant::CVariant(const CBstr& text) : CVariant(CBstr(text)) {}

CVariant::CVariant(CBstr&& text) noexcept : CVariant() {
    m_var.vt = VT_BSTR;
    m_var.bstrVal = text.Detach();
}

CVariant::CVariant(const OLECHAR* text) : CVariant(CBstr(text)) {}

CVariant::CVariant(IUnknown* object) noexcept : CVariant() {
    m_var.vt = VT_UNKNOWN;
    m_var.punkVal = object;
    if (object != nullptr) {
        object->AddRef();
    }
}

CVariant::CVariant(IDispatch* object) noexcept : CVariant() {
    m_var.vt = VT_DISPATCH;
    m_var.pdispVal = object;
    if (object != nullptr) {
        object->AddRef();
    }
}

CVariant::CVariant(const VARIANT& value) : CVariant() {
    ThrowIfFailed(VariantCopy(&m_var, &value));
}

CVariant::CVariant(const CVariant& other) : CVariant() {
    ThrowIfFailed(VariantCopy(&m_var, &other.m_var));
}

CVariant::CVariant(CVariant&& other) noexcept : m_var(other.m_var) {
    VariantInit(&other.m_var);
}

CVariant& CVariant::operator=(const CVariant& other) {
    if (this != &other) {
        // Copy first so that a failed copy leaves this value intact.
        CVariant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CVariant& CVariant::operator=(CVariant&& other) noexcept {
    if (this != &other) {
        VariantClear(&m_var);
        m_var = other.m_var;
        VariantInit(&other.m_var);
    }
    return *this;
}

CVariant::~CVariant() {
    VariantClear(&m_var);
}

VARIANT* CVariant::GetAddress() {
    Clear();
    return &m_var;
}

void CVariant::Clear() {
    ThrowIfFailed(VariantClear(&m_var));
}

void CVariant::ChangeType(VARTYPE vt, const VARIANT* src) {
    ThrowIfFailed(VariantChangeType(&m_var, src == nullptr ? &m_var : src, 0, vt));
}

void CVariant::Attach(VARIANT* src) {
    if (src == nullptr) {
        _com_issue_error(E_POINTER);
    }
    if (src == &m_var) {
        return;
    }
    Clear();
    m_var = *src;
    VariantInit(src);
}

VARIANT CVariant::Detach() noexcept {
    VARIANT out = m_var;
    VariantInit(&m_var);
    return out;
}

HRESULT CVariant::CopyTo(VARIANT* dest) const noexcept {
    return VariantCopy(dest, &m_var);
}

VARIANT CVariant::Converted(VARTYPE vt) const {
    VARIANT out;
    VariantInit(&out);
    ThrowIfFailed(VariantChangeType(&out, &m_var, 0, vt));
    return out;
}

std::int32_t CVariant::ToInt32() const {
    return Converted(VT_I4).lVal;
}

std::uint32_t CVariant::ToUInt32() const {
    return Converted(VT_UI4).ulVal;
}

std::int64_t CVariant::ToInt64() const {
    return Converted(VT_I8).llVal;
}

float CVariant::ToFloat() const {
    return Converted(VT_R4).fltVal;
}

double CVariant::ToDouble() const {
    return Converted(VT_R8).dblVal;
}

bool CVariant::ToBool() const {
    return Converted(VT_BOOL).boolVal != VARIANT_FALSE;
}

CBstr CVariant::ToBstr() const {
    CBstr text;
    text.Attach(Converted(VT_BSTR).bstrVal);
    return text;
}

std::string CVariant::ToString() const {
    return ToBstr().ToUtf8();
}
