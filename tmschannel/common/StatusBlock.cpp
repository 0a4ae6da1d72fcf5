#include "tmschannel/common/StatusBlock.h"

#include "platform/com/Utf.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/WaitFunctions.h"

#include <algorithm>
#include <cstring>

CStatusFileLock::CStatusFileLock(const CChanAccess* access, DWORD timeoutMs) {
    if (access == nullptr || access->MutexHandle() == nullptr) {
        return;
    }
    m_mutex = access->MutexHandle();
    m_block = access->StatusBlock();
    const DWORD rc = WaitForSingleObject(m_mutex, timeoutMs);
    m_held = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

CStatusFileLock::~CStatusFileLock() {
    if (m_held) {
        ReleaseMutex(m_mutex);
    }
}

void CStatusFileLock::Write32(std::size_t offset, std::uint32_t value) const {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    std::memcpy(m_block + offset, bytes, sizeof bytes);
}

void CStatusFileLock::Write8(std::size_t offset, std::uint8_t value) const {
    m_block[offset] = value;
}

void CStatusFileLock::Write16(std::size_t offset, std::uint16_t value) const {
    m_block[offset] = static_cast<std::uint8_t>(value);
    m_block[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

namespace {

// utf8 as at most keep UTF-16 units into the field of chars units, the rest
// of the field zero.
void PutWide(std::uint8_t* block, std::size_t offset, std::size_t chars, std::size_t keep,
             std::string_view utf8) {
    std::memset(block + offset, 0, chars * 2);
    auto put = [&](const char16_t* wide, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            block[offset + 2 * i] = static_cast<std::uint8_t>(wide[i]);
            block[offset + 2 * i + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
        }
    };
    if (keep <= kMaxWideFieldChars) {
        char16_t wide[kMaxWideFieldChars];
        put(wide, Utf8ToUtf16Prefix(utf8, wide, keep));
        return;
    }
    const std::u16string wide = Utf8ToUtf16(utf8);
    put(wide.data(), std::min(wide.size(), keep));
}

}  // namespace

void WriteWideField(std::uint8_t* block, std::size_t offset, std::size_t chars,
                    std::string_view utf8) {
    PutWide(block, offset, chars, chars - 1, utf8);
}

void WriteWideFieldFilled(std::uint8_t* block, std::size_t offset, std::size_t chars,
                          std::string_view utf8) {
    PutWide(block, offset, chars, chars, utf8);
}

void CStatusFileLock::WriteWide(std::size_t offset, std::size_t chars,
                                std::string_view utf8) const {
    WriteWideField(m_block, offset, chars, utf8);
}

void CStatusFileLock::WriteWideFilled(std::size_t offset, std::size_t chars,
                                      std::string_view utf8) const {
    WriteWideFieldFilled(m_block, offset, chars, utf8);
}

std::uint32_t CStatusFileLock::Read32(std::size_t offset) const {
    const std::uint8_t* p = m_block + offset;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::string ReadWideField(const std::uint8_t* block, std::size_t offset, std::size_t chars) {
    std::u16string wide;
    wide.reserve(chars);
    for (std::size_t i = 0; i < chars; ++i) {
        const auto unit =
            static_cast<char16_t>(block[offset + 2 * i] | block[offset + 2 * i + 1] << 8);
        if (unit == u'\0') {
            break;
        }
        wide.push_back(unit);
    }
    return Utf16ToUtf8(wide);
}

std::string CStatusFileLock::ReadWide(std::size_t offset, std::size_t chars) const {
    return ReadWideField(m_block, offset, chars);
}
