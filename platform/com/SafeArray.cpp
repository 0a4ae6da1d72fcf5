#include "platform/com/SafeArray.h"

#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/IDispatch.h"
#include "platform/com/IUnknown.h"
#include "platform/com/VariantDetail.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace {

// The descriptor with the element type in front of it, as COM keeps it for
// FADF_HAVEVARTYPE arrays.
struct ArrayBlock {
    VARTYPE vt;
    SAFEARRAY array;
};

ArrayBlock* BlockOf(SAFEARRAY* array) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(array) -
                                         offsetof(ArrayBlock, array));
}

VARTYPE TypeOf(SAFEARRAY* array) {
    return BlockOf(array)->vt;
}

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

USHORT FeaturesOf(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_HAVEVARTYPE | FADF_BSTR;
        case VT_UNKNOWN:
            return FADF_HAVEVARTYPE | FADF_UNKNOWN;
        case VT_DISPATCH:
            return FADF_HAVEVARTYPE | FADF_DISPATCH;
        case VT_VARIANT:
            return FADF_HAVEVARTYPE | FADF_VARIANT;
        default:
            return FADF_HAVEVARTYPE;
    }
}

void* ElementAt(SAFEARRAY* array, ULONG offset) {
    return static_cast<char*>(array->pvData) + static_cast<std::size_t>(offset) * array->cbElements;
}

// The element offset of indices[0], or DISP_E_BADINDEX.
HRESULT OffsetOf(SAFEARRAY* array, const LONG* indices, ULONG* offset) {
    const std::int64_t relative =
        static_cast<std::int64_t>(indices[0]) - array->rgsabound[0].lLbound;
    if (relative < 0 || relative >= static_cast<std::int64_t>(array->rgsabound[0].cElements)) {
        return DISP_E_BADINDEX;
    }
    *offset = static_cast<ULONG>(relative);
    return S_OK;
}

// Frees what one element owns and zeroes it.
void ClearElement(VARTYPE vt, void* element) {
    switch (vt) {
        case VT_BSTR: {
            BSTR bstr = nullptr;
            std::memcpy(&bstr, element, sizeof(bstr));
            SysFreeString(bstr);
            break;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* object = nullptr;
            std::memcpy(&object, element, sizeof(object));
            if (object != nullptr) {
                object->Release();
            }
            break;
        }
        case VT_VARIANT:
            VariantClear(static_cast<VARIANT*>(element));
            break;
        default:
            break;
    }
    std::memset(element, 0, ElementSize(vt));
}

// Writes a caller-owned copy of element into out (raw storage of the element type).
HRESULT CopyElementOut(VARTYPE vt, const void* element, void* out) {
    switch (vt) {
        case VT_BSTR: {
            BSTR bstr = nullptr;
            std::memcpy(&bstr, element, sizeof(bstr));
            BSTR copy = nullptr;
            if (bstr != nullptr) {
                copy = SysAllocStringByteLen(reinterpret_cast<const char*>(bstr),
                                             SysStringByteLen(bstr));
                if (copy == nullptr) {
                    return E_OUTOFMEMORY;
                }
            }
            std::memcpy(out, &copy, sizeof(copy));
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* object = nullptr;
            std::memcpy(&object, element, sizeof(object));
            if (object != nullptr) {
                object->AddRef();
            }
            std::memcpy(out, &object, sizeof(object));
            return S_OK;
        }
        case VT_VARIANT: {
            auto* dest = static_cast<VARIANT*>(out);
            VariantInit(dest);
            return VariantCopy(dest, static_cast<const VARIANT*>(element));
        }
        default:
            std::memcpy(out, element, ElementSize(vt));
            return S_OK;
    }
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count) {
    if (!variant_detail::IsValidElementType(vt)) {
        return nullptr;
    }
    const ULONG size = ElementSize(vt);
    if (count > std::numeric_limits<std::uint32_t>::max() / size) {
        return nullptr;
    }
    // The last element's index must fit in a LONG.
    if (count > 0 &&
        static_cast<std::int64_t>(lowerBound) + count - 1 > std::numeric_limits<LONG>::max()) {
        return nullptr;
    }
    auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
    if (block == nullptr) {
        return nullptr;
    }
    void* data = nullptr;
    if (count > 0) {
        data = std::calloc(count, size);
        if (data == nullptr) {
            std::free(block);
            return nullptr;
        }
    }
    block->vt = vt;
    SAFEARRAY* array = &block->array;
    array->cDims = 1;
    array->fFeatures = FeaturesOf(vt);
    array->cbElements = size;
    array->cLocks = 0;
    array->pvData = data;
    array->rgsabound[0].cElements = count;
    array->rgsabound[0].lLbound = lowerBound;
    return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) {
        return S_OK;
    }
    if (array->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    const VARTYPE vt = TypeOf(array);
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        ClearElement(vt, ElementAt(array, i));
    }
    std::free(array->pvData);
    std::free(BlockOf(array));
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    *out = nullptr;
    if (array == nullptr) {
        return S_OK;
    }
    const VARTYPE vt = TypeOf(array);
    SAFEARRAY* copy =
        SafeArrayCreateVector(vt, array->rgsabound[0].lLbound, array->rgsabound[0].cElements);
    if (copy == nullptr) {
        return E_OUTOFMEMORY;
    }
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        const HRESULT hr = CopyElementOut(vt, ElementAt(array, i), ElementAt(copy, i));
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *out = copy;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cDims;
}

UINT SafeArrayGetElemsize(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cbElements;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
    if (array == nullptr || vt == nullptr) {
        return E_INVALIDARG;
    }
    *vt = TypeOf(array);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound) {
    if (array == nullptr || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dim != 1) {
        return DISP_E_BADINDEX;
    }
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound) {
    if (array == nullptr || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dim != 1) {
        return DISP_E_BADINDEX;
    }
    *bound = static_cast<LONG>(static_cast<std::int64_t>(array->rgsabound[0].lLbound) +
                               array->rgsabound[0].cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value) {
    if (array == nullptr || indices == nullptr || value == nullptr) {
        return E_INVALIDARG;
    }
    ULONG offset = 0;
    const HRESULT hr = OffsetOf(array, indices, &offset);
    if (FAILED(hr)) {
        return hr;
    }
    return CopyElementOut(TypeOf(array), ElementAt(array, offset), value);
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value) {
    if (array == nullptr || indices == nullptr) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = TypeOf(array);
    // A null BSTR or interface is a value; everything else needs one.
    if (value == nullptr && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH) {
        return E_INVALIDARG;
    }
    ULONG offset = 0;
    HRESULT hr = OffsetOf(array, indices, &offset);
    if (FAILED(hr)) {
        return hr;
    }
    void* element = ElementAt(array, offset);
    switch (vt) {
        case VT_BSTR: {
            const auto* bstr = static_cast<const OLECHAR*>(value);
            BSTR copy = nullptr;
            if (bstr != nullptr) {
                copy = SysAllocStringByteLen(reinterpret_cast<const char*>(bstr),
                                             SysStringByteLen(const_cast<BSTR>(bstr)));
                if (copy == nullptr) {
                    return E_OUTOFMEMORY;
                }
            }
            ClearElement(vt, element);
            std::memcpy(element, &copy, sizeof(copy));
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            auto* object = static_cast<IUnknown*>(const_cast<void*>(value));
            if (object != nullptr) {
                object->AddRef();
            }
            ClearElement(vt, element);
            std::memcpy(element, &object, sizeof(object));
            return S_OK;
        }
        case VT_VARIANT:
            return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
        default:
            std::memcpy(element, value, array->cbElements);
            return S_OK;
    }
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    if (array->cLocks == std::numeric_limits<ULONG>::max()) {
        return E_UNEXPECTED;
    }
    ++array->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    if (array->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --array->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    const HRESULT hr = SafeArrayLock(array);
    *data = SUCCEEDED(hr) ? array->pvData : nullptr;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    return SafeArrayUnlock(array);
}

// --- CSafeArray ---------------------------------------------------------------

namespace {

void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) {
        _com_issue_error(hr);
    }
}

}  // namespace

CSafeArray::CSafeArray(VARTYPE vt, ULONG count, LONG lowerBound) {
    if (!variant_detail::IsValidElementType(vt)) {
        _com_issue_error(DISP_E_BADVARTYPE);
    }
    m_array = SafeArrayCreateVector(vt, lowerBound, count);
    if (m_array == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
    }
}

CSafeArray::CSafeArray(const CSafeArray& other) {
    ThrowIfFailed(SafeArrayCopy(other.m_array, &m_array));
}

CSafeArray::CSafeArray(CSafeArray&& other) noexcept
    : m_array(std::exchange(other.m_array, nullptr)) {}

CSafeArray& CSafeArray::operator=(const CSafeArray& other) {
    if (this != std::addressof(other)) {
        CSafeArray copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CSafeArray& CSafeArray::operator=(CSafeArray&& other) noexcept {
    if (this != std::addressof(other)) {
        SafeArrayDestroy(m_array);
        m_array = std::exchange(other.m_array, nullptr);
    }
    return *this;
}

CSafeArray::~CSafeArray() {
    SafeArrayDestroy(m_array);
}

void CSafeArray::Attach(SAFEARRAY* array) {
    if (array == m_array) {
        return;
    }
    Destroy();
    m_array = array;
}

SAFEARRAY* CSafeArray::Detach() noexcept {
    return std::exchange(m_array, nullptr);
}

SAFEARRAY** CSafeArray::operator&() {
    Destroy();
    return &m_array;
}

void CSafeArray::Destroy() {
    ThrowIfFailed(SafeArrayDestroy(m_array));
    m_array = nullptr;
}

VARTYPE CSafeArray::ElementType() const noexcept {
    return m_array == nullptr ? VT_EMPTY : TypeOf(m_array);
}

ULONG CSafeArray::Count() const noexcept {
    return m_array == nullptr ? 0 : m_array->rgsabound[0].cElements;
}

LONG CSafeArray::LowerBound() const noexcept {
    return m_array == nullptr ? 0 : m_array->rgsabound[0].lLbound;
}

LONG CSafeArray::UpperBound() const noexcept {
    LONG bound = -1;
    SafeArrayGetUBound(m_array, 1, &bound);
    return bound;
}

CVariant CSafeArray::GetVariant(LONG index) const {
    if (m_array == nullptr) {
        _com_issue_error(E_POINTER);
    }
    const VARTYPE vt = TypeOf(m_array);
    VARIANT element;
    VariantInit(&element);
    if (vt == VT_VARIANT) {
        ThrowIfFailed(SafeArrayGetElement(m_array, &index, &element));
    } else {
        // The value goes straight into the union, which starts every member at
        // its first byte.
        ThrowIfFailed(SafeArrayGetElement(m_array, &index, &element.llVal));
        element.vt = vt;
    }
    CVariant result;
    result.Attach(&element);
    return result;
}

void CSafeArray::PutVariant(LONG index, const VARIANT& value) {
    if (m_array == nullptr) {
        _com_issue_error(E_POINTER);
    }
    const VARTYPE vt = TypeOf(m_array);
    if (vt == VT_VARIANT) {
        ThrowIfFailed(SafeArrayPutElement(m_array, &index, &value));
        return;
    }
    CVariant converted;
    ThrowIfFailed(VariantChangeType(&converted.GetVARIANT(), &value, 0, vt));
    const VARIANT& v = converted.GetVARIANT();
    if (vt == VT_BSTR) {
        ThrowIfFailed(SafeArrayPutElement(m_array, &index, v.bstrVal));
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        ThrowIfFailed(SafeArrayPutElement(m_array, &index, v.punkVal));
    } else {
        ThrowIfFailed(SafeArrayPutElement(m_array, &index, &v.llVal));
    }
}

CVariant CSafeArray::IntoVariant() {
    if (m_array == nullptr) {
        _com_issue_error(E_POINTER);
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | TypeOf(m_array);
    v.parray = Detach();
    CVariant result;
    result.Attach(&v);
    return result;
}
