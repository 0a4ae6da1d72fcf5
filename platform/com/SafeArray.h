// SAFEARRAY, the counted array of OLE Automation, and CSafeArray, its owning
// wrapper. Arrays here are one-dimensional vectors with a lower bound, of
// any VARIANT base type (Variant.h) or of VARIANT itself. An array owns its
// elements: destroying it frees BSTRs, releases interfaces and clears
// VARIANTs.
//
// Element passing follows COM: SafeArrayGetElement writes a copy the caller
// owns (a new BSTR, an added reference, a deep VARIANT copy into an
// uninitialised VARIANT); SafeArrayPutElement stores a copy and frees the
// element it replaces. For VT_BSTR, VT_UNKNOWN and VT_DISPATCH arrays the
// value passed to SafeArrayPutElement is the BSTR or interface pointer
// itself; for every other type it points at the value.
//
// Thread safety: the functions may be called from any thread; one array
// belongs to one thread at a time.
#pragma once

#include "platform/com/HResult.h"
#include "platform/com/Variant.h"
#include "platform/kernel/WinTypes.h"

#include <cstddef>

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;      // always 1 here
    USHORT fFeatures;  // FADF_ flags
    ULONG cbElements;  // bytes per element
    ULONG cLocks;      // SafeArrayLock / AccessData count; a locked array cannot be destroyed
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

// A vector of count elements, zeroed (VT_EMPTY VARIANTs, null BSTRs), indexed
// from lowerBound. Null for an unsupported type, a size that does not fit,
// or when memory runs out.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
// Frees the elements and the array; null is fine. DISP_E_ARRAYISLOCKED while
// the array is locked.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
// A deep copy; *out is null for a null array.
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out);

// Dimensions (0 for null) and element size in bytes (0 for null).
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
// Bounds of dimension dim (1-based): DISP_E_BADINDEX for any other dim. The
// upper bound of an empty array is lowerBound - 1.
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);

// One index per dimension in indices; DISP_E_BADINDEX outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value);
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);

// Locks the array and hands out its element storage; every AccessData needs
// its UnaccessData (E_UNEXPECTED when there is no lock to release).
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);

class CSafeArray {
public:
    CSafeArray() noexcept = default;
    // Throws _com_error: DISP_E_BADVARTYPE for an unsupported type,
    // E_OUTOFMEMORY.
    CSafeArray(VARTYPE vt, ULONG count, LONG lowerBound = 0);
    CSafeArray(const CSafeArray& other);
    CSafeArray(CSafeArray&& other) noexcept;
    CSafeArray& operator=(const CSafeArray& other);
    CSafeArray& operator=(CSafeArray&& other) noexcept;
    ~CSafeArray();

    SAFEARRAY* Get() const noexcept { return m_array; }
    // Takes ownership, destroying the array held.
    void Attach(SAFEARRAY* array);
    SAFEARRAY* Detach() noexcept;
    // Destroys the array held and hands out the slot for an [out] parameter.
    SAFEARRAY** operator&();
    void Destroy();

    // For a null array: VT_EMPTY, 0, 0 and -1.
    VARTYPE ElementType() const noexcept;
    ULONG Count() const noexcept;
    LONG LowerBound() const noexcept;
    LONG UpperBound() const noexcept;

    // Element index as a VARIANT of the element type (a copy); throws
    // _com_error (DISP_E_BADINDEX, E_POINTER for a null array).
    CVariant GetVariant(LONG index) const;
    // Stores value at index, converted to the element type as
    // VariantChangeType converts; throws _com_error.
    void PutVariant(LONG index, const VARIANT& value);

    // Moves the array into a VARIANT of type VT_ARRAY | element type and
    // leaves this empty. E_POINTER when there is no array.
    CVariant IntoVariant();

private:
    SAFEARRAY* m_array = nullptr;
};
