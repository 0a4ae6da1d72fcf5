// Builders for every message form the component sends to the RTS, and the
// reader of its replies. Each builder fills a CMmioMsg from the records of
// RtsMessageFormat.h; the caller sends the buffer's first GetMsgSize bytes.
// A body that does not fit in the buffer fails with the buffer's failure
// (0x80043005 or 0x80043007) and the message must not be sent.
//
// Thread safety: a message is built by one thread at a time.
#pragma once

#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessageFormat.h"

#include <functional>
#include <string_view>

namespace rts {

// "open": "ownr", "cdef" (the configuration as narrow XML text with its NUL).
HRESULT BuildOpenMessage(CMmioMsg& msg, const OwnerRecord& owner, std::string_view configXml);
// "rfsh": "cdef".
HRESULT BuildRefreshMessage(CMmioMsg& msg, std::string_view configXml);
// "clos": "ownr".
HRESULT BuildCloseMessage(CMmioMsg& msg, const OwnerRecord& owner);
// "sbuf" with only a "ctx " chunk: default modes and immediate states.
HRESULT BuildPortContextMessage(CMmioMsg& msg, const PortContextRecord& ctx);
// "schc": "schc", "ctx ".
HRESULT BuildScheduleMessage(CMmioMsg& msg, const ScheduleRecord& schedule,
                             const PortContextRecord& ctx);
// "cctx": "ctx " naming only the context index.
HRESULT BuildCloseContextMessage(CMmioMsg& msg, std::int32_t contextIndex);

// Port context records of the fixed-purpose messages.
PortContextRecord DefaultIdleModeContext(std::int32_t idleMode);
PortContextRecord DefaultEndModeContext(std::int32_t endMode);
PortContextRecord GpiInputContext();
ScheduleRecord GpiInputSchedule(std::int32_t gpiNumber, bool cancel);

// "sbuf" with states: the "ctx " chunk (only when a change flag is set), then
// one LIST "rbuf" per resource that takes part, each led by its "res " chunk.
class CStateMessageBuilder {
public:
    explicit CStateMessageBuilder(CMmioMsg& msg) : m_msg(msg) {}

    HRESULT Begin(const PortContextRecord& ctx);
    // False when no change flag was set: nothing is written and nothing sent.
    bool HasContext() const { return m_hasContext; }
    HRESULT BeginResource(const ResourceIdRecord& id);
    // Inline down to the stores: a state message has hundreds of these.
    [[gnu::always_inline]] HRESULT AddVideoState(const VideoStateRecord& s) {
        return m_msg.CreateChunk(kChunkVideo, s);
    }
    [[gnu::always_inline]] HRESULT AddAudioState(const AudioStateRecord& s) {
        return m_msg.CreateChunk(kChunkAudio, s);
    }
    [[gnu::always_inline]] HRESULT AddTimecodeState(const TrackStateRecord& s) {
        return m_msg.CreateChunk(kChunkTimecode, s);
    }
    [[gnu::always_inline]] HRESULT AddAncDataState(const TrackStateRecord& s) {
        return m_msg.CreateChunk(kChunkAncData, s);
    }
    // Writes nothing for a mask of 0.
    HRESULT AddGpiState(const GpiStateRecord& s);
    HRESULT EndResource();
    HRESULT Finish();

private:
    CMmioMsg& m_msg;
    MMCKINFO m_form{};
    MMCKINFO m_list{};
    bool m_hasContext = false;
    bool m_inList = false;
};

// "sbuf" with LIST "file": a "ctx " chunk with flags 0 and the context's
// current change id, then at most 36 file chunks per message. When a 37th is
// due the message is finished and sent and a new one begun; a message whose
// list would be empty is never sent.
class CFileStateMessageBuilder {
public:
    static constexpr int kMaxFilesPerMessage = 36;
    using Sender = std::function<HRESULT(CMmioMsg&)>;

    CFileStateMessageBuilder(CMmioMsg& msg, std::int32_t contextIndex, std::int32_t changeId,
                             Sender send);

    // id is kChunkFileRead, kChunkFileWrite or kChunkFileClose.
    HRESULT Add(std::uint32_t id, const FileStateRecord& file);
    // Sends what is pending (nothing when empty).
    HRESULT Finish();
    int MessagesSent() const { return m_sent; }

private:
    HRESULT BeginMessage();

    CMmioMsg& m_msg;
    PortContextRecord m_ctx{};
    Sender m_send;
    MMCKINFO m_form{};
    MMCKINFO m_list{};
    int m_inMessage = 0;  // file chunks in the open message
    bool m_open = false;
    int m_sent = 0;
};

// Reads a "repl" of receivedBytes bytes. S_OK with *found true and *status
// when the "ack " chunk was read; S_OK with *found false when there is no
// "repl" form or no "ack " in it; a failure when the reply is malformed (a
// RIFF size beyond the bytes received: 0x80043006; an "ack " of a size other
// than 8: 0x8004300c).
HRESULT ReadReply(CMmioMsg& reply, DWORD receivedBytes, bool* found, std::int32_t* status);

// Builds a reply as the RTS sends it (the simulator and tests use it).
HRESULT BuildReplyMessage(CMmioMsg& msg, std::int32_t status);

}  // namespace rts
