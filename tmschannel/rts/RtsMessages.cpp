#include "tmschannel/rts/RtsMessages.h"

#include "platform/mmio/RiffFormat.h"
#include "tmschannel/frame/ErrorFrame.h"

#include <string>
#include <utility>

namespace rts {

namespace {

void WriteConfigChunk(CEntryPoint& trace, CMmioMsg& msg, std::string_view configXml) {
    // The text goes with its terminating NUL; CreateChunk pads to 4.
    std::string text(configXml);
    CheckHr(trace, msg.CreateChunk(kChunkConfig, text.c_str(), static_cast<DWORD>(text.size() + 1)));
}

}  // namespace

HRESULT BuildOpenMessage(CMmioMsg& msg, const OwnerRecord& owner, std::string_view configXml) {
    CTmsEntryPoint trace("rts::BuildOpenMessage %d", static_cast<int>(owner.channelIndex));
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormOpen, &form));
        CheckHr(trace, msg.CreateChunk(kChunkOwner, &owner, sizeof owner));
        WriteConfigChunk(trace, msg, configXml);
        CheckHr(trace, msg.Ascend(&form));
    });
}

HRESULT BuildRefreshMessage(CMmioMsg& msg, std::string_view configXml) {
    CTmsEntryPoint trace("rts::BuildRefreshMessage");
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormRefresh, &form));
        WriteConfigChunk(trace, msg, configXml);
        CheckHr(trace, msg.Ascend(&form));
    });
}

HRESULT BuildCloseMessage(CMmioMsg& msg, const OwnerRecord& owner) {
    CTmsEntryPoint trace("rts::BuildCloseMessage %d", static_cast<int>(owner.channelIndex));
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormClose, &form));
        CheckHr(trace, msg.CreateChunk(kChunkOwner, &owner, sizeof owner));
        CheckHr(trace, msg.Ascend(&form));
    });
}

HRESULT BuildPortContextMessage(CMmioMsg& msg, const PortContextRecord& ctx) {
    CTmsEntryPoint trace("rts::BuildPortContextMessage %d", static_cast<int>(ctx.contextIndex));
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormStateBuffer, &form));
        CheckHr(trace, msg.CreateChunk(kChunkContext, &ctx, sizeof ctx));
        CheckHr(trace, msg.Ascend(&form));
    });
}

HRESULT BuildScheduleMessage(CMmioMsg& msg, const ScheduleRecord& schedule,
                             const PortContextRecord& ctx) {
    CTmsEntryPoint trace("rts::BuildScheduleMessage %d", static_cast<int>(ctx.contextIndex));
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormSchedule, &form));
        CheckHr(trace, msg.CreateChunk(kChunkSchedule, &schedule, sizeof schedule));
        CheckHr(trace, msg.CreateChunk(kChunkContext, &ctx, sizeof ctx));
        CheckHr(trace, msg.Ascend(&form));
    });
}

HRESULT BuildCloseContextMessage(CMmioMsg& msg, std::int32_t contextIndex) {
    CTmsEntryPoint trace("rts::BuildCloseContextMessage %d", contextIndex);
    return TMS_ERROR_FRAME(trace, [&] {
        PortContextRecord ctx{};
        ctx.contextIndex = contextIndex;
        MMCKINFO form{};
        CheckHr(trace, msg.CreateRiff(kFormCloseContext, &form));
        CheckHr(trace, msg.CreateChunk(kChunkContext, &ctx, sizeof ctx));
        CheckHr(trace, msg.Ascend(&form));
    });
}

PortContextRecord DefaultIdleModeContext(std::int32_t idleMode) {
    PortContextRecord ctx{};
    ctx.contextIndex = kDefaultContextIndex;
    ctx.flags = kFlagTrigger | kFlagIdleMode;
    ctx.changeId = kChangeIdDefaultMode;
    ctx.trigger = kTriggerAsap;
    ctx.idleMode = idleMode;
    return ctx;
}

PortContextRecord DefaultEndModeContext(std::int32_t endMode) {
    constexpr std::int32_t kStopModeDefault = 3;
    constexpr std::int32_t kStopModeFreeze = 0;
    PortContextRecord ctx{};
    ctx.contextIndex = kDefaultContextIndex;
    ctx.flags = kFlagTrigger | kFlagEndMode;
    ctx.changeId = kChangeIdDefaultMode;
    ctx.trigger = kTriggerAsap;
    // The RTS has no "default" end mode of its own: Default goes as Freeze.
    ctx.endMode = endMode == kStopModeDefault ? kStopModeFreeze : endMode;
    return ctx;
}

PortContextRecord GpiInputContext() {
    PortContextRecord ctx{};
    ctx.contextIndex = kDefaultContextIndex;
    ctx.changeId = kChangeIdGpiInput;
    return ctx;
}

ScheduleRecord GpiInputSchedule(std::int32_t gpiNumber, bool cancel) {
    constexpr std::int32_t kConditionGpi = 1;
    ScheduleRecord s{};
    s.condition = kConditionGpi;
    s.triggerValue = gpiNumber;
    s.cancel = cancel ? 1 : 0;
    return s;
}

HRESULT CStateMessageBuilder::Begin(const PortContextRecord& ctx) {
    CTmsEntryPoint trace("CStateMessageBuilder::Begin %d", static_cast<int>(ctx.contextIndex));
    return TMS_ERROR_FRAME(trace, [&] {
        m_form = {};
        m_inList = false;
        CheckHr(trace, m_msg.CreateRiff(kFormStateBuffer, &m_form));
        m_hasContext = (ctx.flags & 0xFFFFu) != 0;
        if (m_hasContext) {
            CheckHr(trace, m_msg.CreateChunk(kChunkContext, &ctx, sizeof ctx));
        }
    });
}

HRESULT CStateMessageBuilder::BeginResource(const ResourceIdRecord& id) {
    CTmsEntryPoint trace("CStateMessageBuilder::BeginResource");
    return TMS_ERROR_FRAME(trace, [&] {
        m_list = {};
        CheckHr(trace, m_msg.CreateList(kListResourceBuffer, &m_list));
        m_inList = true;
        CheckHr(trace, m_msg.CreateChunk(kChunkResource, &id, sizeof id));
    });
}

HRESULT CStateMessageBuilder::AddGpiState(const GpiStateRecord& s) {
    if (s.mask == 0u) {
        return S_OK;
    }
    return m_msg.CreateChunk(kChunkGpi, s);
}

HRESULT CStateMessageBuilder::EndResource() {
    m_inList = false;
    return m_msg.Ascend(&m_list);
}

HRESULT CStateMessageBuilder::Finish() {
    CTmsEntryPoint trace("CStateMessageBuilder::Finish");
    return TMS_ERROR_FRAME(trace, [&] {
        if (m_inList) {
            m_inList = false;
            CheckHr(trace, m_msg.Ascend(&m_list));
        }
        CheckHr(trace, m_msg.Ascend(&m_form));
    });
}

CFileStateMessageBuilder::CFileStateMessageBuilder(CMmioMsg& msg, std::int32_t contextIndex,
                                                   std::int32_t changeId, Sender send)
    : m_msg(msg), m_send(std::move(send)) {
    m_ctx.contextIndex = contextIndex;
    m_ctx.changeId = changeId;
}

HRESULT CFileStateMessageBuilder::BeginMessage() {
    CTmsEntryPoint trace("CFileStateMessageBuilder::BeginMessage");
    return TMS_ERROR_FRAME(trace, [&] {
        m_form = {};
        m_list = {};
        CheckHr(trace, m_msg.CreateRiff(kFormStateBuffer, &m_form));
        CheckHr(trace, m_msg.CreateChunk(kChunkContext, &m_ctx, sizeof m_ctx));
        CheckHr(trace, m_msg.CreateList(kListFile, &m_list));
        m_open = true;
        m_inMessage = 0;
    });
}

HRESULT CFileStateMessageBuilder::Add(std::uint32_t id, const FileStateRecord& file) {
    CTmsEntryPoint trace("CFileStateMessageBuilder::Add %d", static_cast<int>(file.fileCode));
    return TMS_ERROR_FRAME(trace, [&] {
        if (m_open && m_inMessage == kMaxFilesPerMessage) {
            CheckHr(trace, Finish());
        }
        if (!m_open) {
            CheckHr(trace, BeginMessage());
        }
        CheckHr(trace, m_msg.CreateChunk(id, &file, sizeof file));
        ++m_inMessage;
    });
}

HRESULT CFileStateMessageBuilder::Finish() {
    CTmsEntryPoint trace("CFileStateMessageBuilder::Finish");
    return TMS_ERROR_FRAME(trace, [&] {
        if (!m_open) {
            return;
        }
        m_open = false;
        if (m_inMessage == 0) {
            return;
        }
        CheckHr(trace, m_msg.Ascend(&m_list));
        CheckHr(trace, m_msg.Ascend(&m_form));
        m_inMessage = 0;
        CheckHr(trace, m_send(m_msg));
        ++m_sent;
    });
}

HRESULT ReadReply(CMmioMsg& reply, DWORD receivedBytes, bool* found, std::int32_t* status) {
    CTmsEntryPoint trace("rts::ReadReply %u", receivedBytes);
    return TMS_ERROR_FRAME(trace, [&] {
        *found = false;
        const BYTE* buffer = std::as_const(reply).GetBuffer();
        if (buffer == nullptr) {
            TMS_RAISE(trace, HR(0x8004300b), "ChunkDataPtr only works on memory files");
        }
        if (receivedBytes > reply.GetBufferSize()) {
            receivedBytes = reply.GetBufferSize();
        }
        if (receivedBytes < riff::kFormHeaderSize) {
            TMS_RAISE(trace, HR(0x80043006), "Could only read %d bytes of %d for current chunk",
                      static_cast<int>(receivedBytes), static_cast<int>(riff::kFormHeaderSize));
        }
        ULONGLONG claimed = ULONGLONG{riff::LoadLe32(buffer + riff::kSizeOffset)} + 8;
        if (claimed > receivedBytes) {
            TMS_RAISE(trace, HR(0x80043006), "Could only read %d bytes of %d for current chunk",
                      static_cast<int>(receivedBytes), static_cast<int>(claimed));
        }
        MMCKINFO form{};
        bool haveForm = false;
        CheckHr(trace, reply.FindRiff(kFormReply, &form, &haveForm));
        if (!haveForm) {
            trace.SetResult(S_OK);
            return;
        }
        const BYTE* data = nullptr;
        bool haveAck = false;
        CheckHr(trace, reply.FindChunkDataPtr(kChunkAck, &form, &data, sizeof(AckRecord), &haveAck));
        if (!haveAck) {
            trace.SetResult(S_OK);
            return;
        }
        *found = true;
        *status = reinterpret_cast<const AckRecord*>(data)->status;
        trace.SetResult(S_OK);
    });
}

HRESULT BuildReplyMessage(CMmioMsg& msg, std::int32_t status) {
    CTmsEntryPoint trace("rts::BuildReplyMessage %d", status);
    return TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO form{};
        AckRecord ack{};
        ack.status = status;
        CheckHr(trace, msg.CreateRiff(kFormReply, &form));
        CheckHr(trace, msg.CreateChunk(kChunkAck, &ack, sizeof ack));
        CheckHr(trace, msg.Ascend(&form));
    });
}

}  // namespace rts
