// VARIANT, the self-describing value of OLE Automation, its functions
// (VariantInit, VariantClear, VariantCopy, VariantCopyInd, VariantChangeType)
// and CVariant, its owning wrapper.
//
// The types supported are the VT_ constants below, alone, by reference
// (VT_BYREF) and as arrays (VT_ARRAY, SafeArray.h); any other vt is
// DISP_E_BADVARTYPE. A VARIANT owns what it holds: a BSTR, an interface
// reference, a SAFEARRAY. By-reference values are borrowed and never freed.
//
// VariantChangeType converts as OLE Automation does: integers are range
// checked (DISP_E_OVERFLOW); reals round half to even when they become
// integers; true is -1 (an unsigned type gets all bits set); text parses with
// the C locale (leading and trailing blanks allowed, "&H" hex and "&O" octal
// prefixes, "true"/"false" in any case for VT_BOOL), and what does not parse
// is DISP_E_TYPEMISMATCH; a VT_BOOL becomes "True" or "False", an integer its
// decimal digits, a real the shortest text that reads back to the same value.
// Dates are days since 1899-12-30 with the time of day as the fraction; as
// text they read "YYYY-MM-DD HH:MM:SS" (date only at midnight, time only on
// day 0) and parse from that form or "M/D/YYYY [H:MM[:SS]]".
//
// Thread safety: the functions may be called from any thread; a VARIANT and
// a CVariant belong to one thread at a time.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;  // days since 1899-12-30 00:00, time of day as the fraction

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_DATE = 7;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_ERROR = 10;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_VARIANT = 12;  // only as VT_ARRAY or VT_BYREF element
constexpr VARTYPE VT_UNKNOWN = 13;
constexpr VARTYPE VT_I1 = 16;
constexpr VARTYPE VT_UI1 = 17;
constexpr VARTYPE VT_UI2 = 18;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_I8 = 20;
constexpr VARTYPE VT_UI8 = 21;
constexpr VARTYPE VT_INT = 22;
constexpr VARTYPE VT_UINT = 23;
constexpr VARTYPE VT_ARRAY = 0x2000;
constexpr VARTYPE VT_BYREF = 0x4000;
constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

// VariantChangeType flags. Conversions here do not depend on them (there is
// no default-value property to call and text is never localised); they exist
// so that callers can pass what they would pass to COM.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;        // VT_I8
        LONG lVal;             // VT_I4
        BYTE bVal;             // VT_UI1
        SHORT iVal;            // VT_I2
        float fltVal;          // VT_R4
        double dblVal;         // VT_R8
        VARIANT_BOOL boolVal;  // VT_BOOL
        SCODE scode;           // VT_ERROR
        DATE date;             // VT_DATE
        BSTR bstrVal;          // VT_BSTR
        IUnknown* punkVal;     // VT_UNKNOWN
        IDispatch* pdispVal;   // VT_DISPATCH
        SAFEARRAY* parray;     // VT_ARRAY | *
        char cVal;             // VT_I1
        USHORT uiVal;          // VT_UI2
        ULONG ulVal;           // VT_UI4
        ULONGLONG ullVal;      // VT_UI8
        int intVal;            // VT_INT
        unsigned int uintVal;  // VT_UINT
        // VT_BYREF | *: the referenced value is borrowed.
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        char* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        int* pintVal;
        unsigned int* puintVal;
        void* byref;
    };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT is a type word, three reserved words and 8 bytes");

// Sets VT_EMPTY without looking at what was there.
void VariantInit(VARIANT* v);
// Frees what v holds and sets VT_EMPTY. DISP_E_BADVARTYPE for an unknown vt
// and DISP_E_ARRAYISLOCKED for a locked array leave v as it was.
HRESULT VariantClear(VARIANT* v);
// Clears dest, then copies src into it deeply (new BSTR, new array, added
// reference); by-reference values are copied as references. dest == src is
// a no-op. On failure dest is left VT_EMPTY (or untouched when clearing it
// failed).
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference src is copied as the value it refers to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Converts src (by-reference values are read through) to type vt into dest,
// which may be src. dest is cleared only when the conversion succeeds; on
// failure it is left as it was.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

class CVariant {
public:
    CVariant() noexcept { VariantInit(&m_var); }
    CVariant(std::int32_t value) noexcept;   // VT_I4
    CVariant(std::int16_t value) noexcept;   // VT_I2
    CVariant(std::uint8_t value) noexcept;   // VT_UI1
    CVariant(std::uint32_t value) noexcept;  // VT_UI4
    CVariant(std::int64_t value) noexcept;   // VT_I8
    CVariant(std::uint64_t value) noexcept;  // VT_UI8
    CVariant(float value) noexcept;          // VT_R4
    CVariant(double value) noexcept;         // VT_R8
    // VT_BOOL; constrained so that pointers do not quietly become booleans.
    template <std::same_as<bool> B>
    CVariant(B value) noexcept : CVariant() {
        m_var.vt = VT_BOOL;
        m_var.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    // VT_BSTR from UTF-8; a null pointer is the empty string.
    CVariant(const char* utf8);
    CVariant(std::string_view utf8);
    CVariant(const std::string& utf8) : CVariant(std::string_view(utf8)) {}
    CVariant(const CBstr& text);
    CVariant(CBstr&& text) noexcept;
    // VT_BSTR copied from NUL-terminated UTF-16 text (a BSTR up to its first
    // NUL; CVariant(CBstr::FromBstr(b)) keeps embedded NULs).
    explicit CVariant(const OLECHAR* text);
    // VT_UNKNOWN and VT_DISPATCH, adding a reference.
    explicit CVariant(IUnknown* object) noexcept;
    explicit CVariant(IDispatch* object) noexcept;
    // Deep copy of any VARIANT; throws _com_error when VariantCopy fails.
    explicit CVariant(const VARIANT& value);

    CVariant(const CVariant& other);
    CVariant(CVariant&& other) noexcept;
    CVariant& operator=(const CVariant& other);
    CVariant& operator=(CVariant&& other) noexcept;
    ~CVariant();

    VARTYPE Type() const noexcept { return m_var.vt; }
    bool IsEmpty() const noexcept { return m_var.vt == VT_EMPTY; }

    // The VARIANT for an [in] or [in,out] parameter; stays owned here.
    const VARIANT& GetVARIANT() const noexcept { return m_var; }
    VARIANT& GetVARIANT() noexcept { return m_var; }
    operator const VARIANT&() const noexcept { return m_var; }
    // Clears and hands out the VARIANT for an [out] parameter.
    VARIANT* GetAddress();

    // Frees the value; throws _com_error when VariantClear fails.
    void Clear();
    // Converts in place, or from src when given; throws _com_error on failure
    // (this stays as it was).
    void ChangeType(VARTYPE vt, const VARIANT* src = nullptr);

    // Takes over *src (leaving it VT_EMPTY) after clearing this.
    void Attach(VARIANT* src);
    // Gives the value to the caller, who clears it; leaves this VT_EMPTY.
    VARIANT Detach() noexcept;
    // VariantCopy into dest (which is cleared first).
    HRESULT CopyTo(VARIANT* dest) const noexcept;

    // The value converted as VariantChangeType does; throw _com_error.
    std::int32_t ToInt32() const;
    std::uint32_t ToUInt32() const;
    std::int64_t ToInt64() const;
    float ToFloat() const;
    double ToDouble() const;
    bool ToBool() const;
    std::string ToString() const;  // UTF-8
    CBstr ToBstr() const;

private:
    VARIANT Converted(VARTYPE vt) const;

    VARIANT m_var;
};
