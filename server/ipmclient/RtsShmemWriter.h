// CRtsShmemWriter: the RTS side of the RTS shared memory (RtsShmemLayout.h):
// creates the mapping of the current runtime folder, sets up its header last,
// and writes channel blocks under their sequence words.
//
// Thread safety: one writer per channel at a time (the RTS runs one clock
// thread); readers in any process never block it. The mapping is removed
// from the system when the writer is destroyed.
#pragma once

#include "platform/kernel/Handle.h"
#include "server/ipmclient/RtsShmemLayout.h"

class CRtsShmemWriter {
public:
    CRtsShmemWriter() = default;
    ~CRtsShmemWriter();
    CRtsShmemWriter(const CRtsShmemWriter&) = delete;
    CRtsShmemWriter& operator=(const CRtsShmemWriter&) = delete;

    // Creates (or takes over, after a crashed RTS) the mapping, clears it and
    // marks channels 0 to channelCount - 1 present. 0 or a Win32 error code.
    DWORD Create(int channelCount);
    void Destroy();

    // Opens a channel block for writing (its sequence word goes odd);
    // null for a channel out of range.
    RtsChannelBlock* Begin(int channel);
    void End(int channel);
    void SetTimeOfDay(unsigned timeOfDay);
    RtsShmemLayout* Layout() { return m_view; }

private:
    RtsShmemLayout* m_view = nullptr;
    HANDLE m_mapping = nullptr;
};

// Writes a channel block for the scope of the object.
class CRtsChannelWrite {
public:
    CRtsChannelWrite(CRtsShmemWriter& writer, int channel)
        : m_writer(writer), m_channel(channel), m_block(writer.Begin(channel)) {}
    ~CRtsChannelWrite() {
        if (m_block) {
            m_writer.End(m_channel);
        }
    }
    CRtsChannelWrite(const CRtsChannelWrite&) = delete;
    CRtsChannelWrite& operator=(const CRtsChannelWrite&) = delete;
    RtsChannelBlock* operator->() const { return m_block; }
    explicit operator bool() const { return m_block != nullptr; }

private:
    CRtsShmemWriter& m_writer;
    int m_channel;
    RtsChannelBlock* m_block;
};
