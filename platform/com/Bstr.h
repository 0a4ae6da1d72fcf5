// BSTR, the counted UTF-16 string of COM, and CBstr, its owning wrapper.
//
// Memory layout, as COM has it: a 4-byte little-endian length in bytes (not
// counting the terminator), then the characters, then a 2-byte NUL. A BSTR
// points at the first character, just after the length, so it reads as a
// NUL-terminated string too; embedded NULs are allowed and the length counts
// them. A null BSTR is the empty string to every function here.
//
// The Sys* functions return null when memory runs out, as COM does; CBstr
// throws _com_error(E_OUTOFMEMORY) instead.
//
// Thread safety: the Sys* functions may be called from any thread; a BSTR and
// a CBstr belong to one thread at a time.
#pragma once

#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

#include <string>
#include <string_view>

using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// Copies the NUL-terminated text; null text gives a null BSTR.
BSTR SysAllocString(const OLECHAR* text);
// Copies length characters (NULs included); null text gives length zeroed
// characters.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// Copies byteLength bytes and adds a 2-byte NUL; the byte length may be odd.
// Null bytes gives byteLength zero bytes.
BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength);
// Replaces *bstr with a copy of text (which may point into *bstr); FALSE,
// with *bstr unchanged, when memory runs out.
BOOL SysReAllocString(BSTR* bstr, const OLECHAR* text);
BOOL SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT length);
void SysFreeString(BSTR bstr);
// Characters (byte length / 2) and bytes; 0 for a null BSTR.
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

class CBstr {
public:
    CBstr() noexcept = default;
    // From UTF-8; a null pointer is the empty string.
    CBstr(const char* utf8);
    CBstr(std::string_view utf8);
    CBstr(const std::string& utf8) : CBstr(std::string_view(utf8)) {}
    explicit CBstr(std::u16string_view text);
    // Copies NUL-terminated UTF-16 text, up to the first NUL. FromBstr
    // copies a BSTR whole, by its length, embedded NULs included.
    explicit CBstr(const OLECHAR* text);
    static CBstr FromBstr(BSTR bstr);
    CBstr(const CBstr& other);
    CBstr(CBstr&& other) noexcept;
    CBstr& operator=(const CBstr& other);
    CBstr& operator=(CBstr&& other) noexcept;
    ~CBstr();

    // The BSTR for an [in] parameter; stays owned by this wrapper.
    BSTR Get() const noexcept { return m_bstr; }
    operator BSTR() const noexcept { return m_bstr; }

    UINT Length() const noexcept { return SysStringLen(m_bstr); }
    bool IsEmpty() const noexcept { return Length() == 0; }
    std::u16string_view View() const noexcept {
        return {m_bstr == nullptr ? u"" : m_bstr, Length()};
    }
    std::string ToUtf8() const;
    // Latin-1, as the fixed-size narrow fields take it ('?' above U+00FF).
    std::string ToNarrow() const;

    CBstr& Append(std::u16string_view text);
    CBstr& Append(std::string_view utf8);
    CBstr& operator+=(const CBstr& other) { return Append(other.View()); }

    // A new BSTR with the same text for the caller to free (null when empty).
    BSTR Copy() const;
    // Copy() into an [out] parameter: E_POINTER for null out, E_OUTOFMEMORY.
    HRESULT CopyTo(BSTR* out) const noexcept;

    // Takes ownership of bstr, freeing the string held.
    void Attach(BSTR bstr) noexcept;
    // Gives the string to the caller, who frees it; leaves this empty.
    BSTR Detach() noexcept;
    // Frees the string held and hands out the slot for an [out] parameter.
    BSTR* operator&() noexcept;
    void Empty() noexcept;

    // Compares the text, embedded NULs included; null equals empty.
    friend bool operator==(const CBstr& a, const CBstr& b) noexcept { return a.View() == b.View(); }

private:
    BSTR m_bstr = nullptr;
};
