// Writing the channel's status block: the status-file mutex that orders
// every process writing it, and the typed writes (little-endian numbers,
// wide text cut to its field with a terminator).
#pragma once

#include "server/appserverutil/ChanAccess.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Wide fields up to this many characters (the block's longest is 260) are
// converted on the stack: the status pass writes its texts every cycle.
inline constexpr std::size_t kMaxWideFieldChars = 512;

// utf8 as UTF-16 into the field of chars units at block + offset, cut to
// leave a terminator, the rest of the field zero.
void WriteWideField(std::uint8_t* block, std::size_t offset, std::size_t chars,
                    std::string_view utf8);
// As WriteWideField, but a value of chars units fills the field with no
// terminator: for values of a fixed width that is the field's (a uuid).
void WriteWideFieldFilled(std::uint8_t* block, std::size_t offset, std::size_t chars,
                          std::string_view utf8);

// The wide text of the field of chars units at block + offset, up to its
// first terminator (the whole field when it has none), as UTF-8.
std::string ReadWideField(const std::uint8_t* block, std::size_t offset, std::size_t chars);

// Holds the status-file mutex of the channel's block for its lifetime, when
// it could be taken within the time-out (Acquired). A mutex its last holder
// left by dying is taken over.
class CStatusFileLock {
public:
    static constexpr DWORD kTimeoutMs = 5000;
    explicit CStatusFileLock(const CChanAccess* access, DWORD timeoutMs = kTimeoutMs);
    ~CStatusFileLock();
    CStatusFileLock(const CStatusFileLock&) = delete;
    CStatusFileLock& operator=(const CStatusFileLock&) = delete;
    // True when the mutex is held and the block can be written.
    bool Acquired() const { return m_held && m_block != nullptr; }
    std::uint8_t* Block() const { return m_block; }

    void Write32(std::size_t offset, std::uint32_t value) const;
    void Write8(std::size_t offset, std::uint8_t value) const;
    void Write16(std::size_t offset, std::uint16_t value) const;
    void WriteWide(std::size_t offset, std::size_t chars, std::string_view utf8) const;
    void WriteWideFilled(std::size_t offset, std::size_t chars, std::string_view utf8) const;
    std::uint32_t Read32(std::size_t offset) const;
    std::string ReadWide(std::size_t offset, std::size_t chars) const;

private:
    HANDLE m_mutex = nullptr;
    std::uint8_t* m_block = nullptr;
    bool m_held = false;
};
