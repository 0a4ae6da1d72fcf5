#include "platform/com/Bstr.h"

#include "platform/com/ComError.h"
#include "platform/com/Utf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);
constexpr std::size_t kTerminatorBytes = sizeof(OLECHAR);
// The largest byte length the 4-byte prefix can carry with room for the block around it.
constexpr std::size_t kMaxByteLength = 0xFFFFFFFFu - kPrefixBytes - kTerminatorBytes;

char* BlockOf(BSTR bstr) {
    return reinterpret_cast<char*>(bstr) - kPrefixBytes;
}

// Allocates a BSTR of byteLength bytes filled from bytes (zeros when null).
BSTR Allocate(const void* bytes, std::size_t byteLength) {
    if (byteLength > kMaxByteLength) {
        return nullptr;
    }
    auto* block = static_cast<char*>(std::malloc(kPrefixBytes + byteLength + kTerminatorBytes));
    if (block == nullptr) {
        return nullptr;
    }
    const auto prefix = static_cast<std::uint32_t>(byteLength);
    std::memcpy(block, &prefix, kPrefixBytes);
    char* data = block + kPrefixBytes;
    if (bytes != nullptr) {
        std::memcpy(data, bytes, byteLength);
    } else {
        std::memset(data, 0, byteLength);
    }
    std::memset(data + byteLength, 0, kTerminatorBytes);
    return reinterpret_cast<BSTR>(data);
}

BSTR AllocateOrThrow(std::u16string_view text) {
    if (text.empty()) {
        return nullptr;
    }
    BSTR bstr = Allocate(text.data(), text.size() * sizeof(OLECHAR));
    if (bstr == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    return bstr;
}

// A copy of every byte of bstr (an odd byte length included); null stays null.
BSTR DuplicateOrThrow(BSTR bstr) {
    if (bstr == nullptr) {
        return nullptr;
    }
    BSTR copy = Allocate(bstr, SysStringByteLen(bstr));
    if (copy == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    return copy;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return Allocate(text, std::char_traits<OLECHAR>::length(text) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    return Allocate(text, static_cast<std::size_t>(length) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength) {
    return Allocate(bytes, byteLength);
}

BOOL SysReAllocString(BSTR* bstr, const OLECHAR* text) {
    if (bstr == nullptr) {
        return FALSE;
    }
    BSTR fresh = SysAllocString(text);
    if (fresh == nullptr && text != nullptr) {
        return FALSE;
    }
    SysFreeString(std::exchange(*bstr, fresh));
    return TRUE;
}

BOOL SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT length) {
    if (bstr == nullptr) {
        return FALSE;
    }
    BSTR fresh = SysAllocStringLen(text, length);
    if (fresh == nullptr) {
        return FALSE;
    }
    SysFreeString(std::exchange(*bstr, fresh));
    return TRUE;
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) {
        std::free(BlockOf(bstr));
    }
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) {
        return 0;
    }
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, BlockOf(bstr), kPrefixBytes);
    return prefix;
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

CBstr::CBstr(const char* utf8) : CBstr(std::string_view(utf8 == nullptr ? "" : utf8)) {}

CBstr::CBstr(std::string_view utf8) : m_bstr(AllocateOrThrow(Utf8ToUtf16(utf8))) {}

CBstr::CBstr(std::u16string_view text) : m_bstr(AllocateOrThrow(text)) {}

CBstr::CBstr(const OLECHAR* text)
    : m_bstr(AllocateOrThrow(text == nullptr ? std::u16string_view() : std::u16string_view(text))) {
}

CBstr::CBstr(const CBstr& other) : m_bstr(DuplicateOrThrow(other.m_bstr)) {}

CBstr::CBstr(CBstr&& other) noexcept : m_bstr(std::exchange(other.m_bstr, nullptr)) {}

CBstr& CBstr::operator=(const CBstr& other) {
    if (this != std::addressof(other)) {
        Attach(DuplicateOrThrow(other.m_bstr));
    }
    return *this;
}

CBstr& CBstr::operator=(CBstr&& other) noexcept {
    if (this != std::addressof(other)) {
        Attach(std::exchange(other.m_bstr, nullptr));
    }
    return *this;
}

CBstr::~CBstr() {
    SysFreeString(m_bstr);
}

std::string CBstr::ToUtf8() const {
    return Utf16ToUtf8(View());
}

std::string CBstr::ToNarrow() const {
    return Utf16ToNarrow(View());
}

CBstr& CBstr::Append(std::u16string_view text) {
    if (text.empty()) {
        return *this;
    }
    const std::u16string_view current = View();
    if (text.size() > kMaxByteLength / sizeof(OLECHAR) - current.size()) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    // text may point into this string, so build the new one before freeing.
    BSTR joined = SysAllocStringLen(nullptr, static_cast<UINT>(current.size() + text.size()));
    if (joined == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    std::memcpy(joined, current.data(), current.size() * sizeof(OLECHAR));
    std::memcpy(joined + current.size(), text.data(), text.size() * sizeof(OLECHAR));
    Attach(joined);
    return *this;
}

CBstr& CBstr::Append(std::string_view utf8) {
    return Append(std::u16string_view(Utf8ToUtf16(utf8)));
}

BSTR CBstr::Copy() const {
    return DuplicateOrThrow(m_bstr);
}

CBstr CBstr::FromBstr(BSTR bstr) {
    CBstr result;
    result.m_bstr = DuplicateOrThrow(bstr);
    return result;
}

HRESULT CBstr::CopyTo(BSTR* out) const noexcept {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (m_bstr == nullptr) {
        return S_OK;
    }
    *out = Allocate(m_bstr, SysStringByteLen(m_bstr));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

void CBstr::Attach(BSTR bstr) noexcept {
    BSTR old = std::exchange(m_bstr, bstr);
    if (old != bstr) {
        SysFreeString(old);
    }
}

BSTR CBstr::Detach() noexcept {
    return std::exchange(m_bstr, nullptr);
}

BSTR* CBstr::operator&() noexcept {
    Empty();
    return &m_bstr;
}

void CBstr::Empty() noexcept {
    SysFreeString(std::exchange(m_bstr, nullptr));
}
