// CTimelineContext: changes the RTS holds and applies by itself when their
// condition comes (a tick count, a GPI input, a clock or gang watcher).
// The context keeps no list of them: the RTS holds each one by its name
// until it fires or a cancel naming it arrives.
#include <cstring>
#include <optional>

#include "platform/kernel/CriticalSectionLock.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using namespace context_record;

constexpr HRESULT kBadPortState = HR(0x80043003);
constexpr DWORD kSendTimeoutMs = 60000;
// The flags of a client's change that a scheduled change carries: stop as
// idle, speed, position and port state.
constexpr std::uint32_t kScheduledFlags = kStopAsIdle | kSpeed | kPosition | kPortState;

// The next scheduled change id after id: -10, -11, ... and back to -10
// rather than running into the ids with a fixed meaning.
std::int32_t NextScheduledId(std::int32_t id) {
    return id > rts::kFirstScheduledChangeId || id == INT32_MIN ? rts::kFirstScheduledChangeId
                                                                : id - 1;
}

}  // namespace

std::int32_t CTimelineContext::TakeScheduledId() {
    std::int32_t id = m_rec.nextScheduledId;
    if (id > rts::kFirstScheduledChangeId) {
        id = rts::kFirstScheduledChangeId;
    }
    m_rec.nextScheduledId = NextScheduledId(id);
    return id;
}

HRESULT CTimelineContext::ApplyScheduledChange(std::uint32_t token, const std::string& name,
                                               std::int32_t condition, std::uint32_t triggerValue,
                                               bool cancel, const unsigned char* change) {
    CTmsEntryPoint trace("CTimelineContext::ApplyScheduledChange");
    return TMS_ERROR_FRAME(trace, [&] {
        rts::ScheduleRecord schedule{};
        rts::PortContextRecord ctx{};
        std::string line;
        // The record before a gang watcher's change merged into it.
        std::optional<Current> unmerged;
        {
            CCriticalSectionLock lock(m_cs);
            if (Token() != token || m_timeline == nullptr) {
                trace.SetResult(S_FALSE);
                return;
            }
            const std::string channel = m_owner.ChannelName();
            if (name.size() > rts::kNameFieldSize - 1) {
                // A name cut to fit would cancel or replace another change.
                TMS_RAISE(trace, E_INVALIDARG,
                          "%s:Ctx%d: Scheduled change name '%s' has %d characters; at most %d fit",
                          channel.c_str(), m_index, name.c_str(), static_cast<int>(name.size()),
                          static_cast<int>(rts::kNameFieldSize - 1));
            }
            if (condition < TmsCtxAtTickcount || condition > TmsCtxAtGangWatcher) {
                // Refused before the gang watcher's merge: the RTS would
                // refuse the message after the record had changed.
                TMS_RAISE(trace, E_INVALIDARG,
                          "%s:Ctx%d: Scheduled change condition %d is not 0 to 4", channel.c_str(),
                          m_index, static_cast<int>(condition));
            }
            if (m_firstChangePending && !cancel) {
                TMS_RAISE(trace, kBadPortState,
                          "%s:Ctx%d: Channel must be cued before scheduling a context change.",
                          channel.c_str(), m_index);
            }
            ChangeRecord client{};
            std::memcpy(&client, change, sizeof client);
            const std::uint32_t flags = client.flags;
            const std::int32_t requested = client.portState;
            if (!cancel && (flags & kSpeed) != 0) {
                CheckSpeed(trace, client.speed);
            }
            if (!cancel && (flags & kPortState) != 0 && (requested < TmsIdle || requested > 4)) {
                TMS_RAISE(trace, E_INVALIDARG, "%s:Ctx%d: Scheduled port state %d is not 0 to 4",
                          channel.c_str(), m_index, static_cast<int>(requested));
            }

            ctx.contextIndex =
                condition == TmsCtxDefaultAtGpi ? rts::kDefaultContextIndex : m_index;
            std::uint32_t sent = (flags & kScheduledFlags) | kTrigger;
            if (requested == TmsCuePlay || requested == TmsCueRecord) {
                sent &= ~static_cast<std::uint32_t>(kSpeed | kPortState);
            }
            if ((flags & kStop) != 0) {
                sent |= kStopAsIdle;
            }
            ctx.flags = sent;
            ctx.trigger = rts::kTriggerAsap;
            ctx.portState = requested;
            const PositionPair position{client.position.movie,
                                        client.position.movie + m_rec.position.Offset()};
            ctx.position = position.port;
            ctx.speed = client.speed;

            schedule.condition = condition;
            schedule.triggerValue = static_cast<std::int32_t>(triggerValue);
            rts::SetNarrow(schedule.name, name);
            schedule.cancel = cancel ? 1 : 0;

            line = FormatText("    %s:Ctx%d: schedule ", channel.c_str(), m_index);
            if (cancel) {
                line += "cancel ";
            }
            switch (condition) {
                case TmsCtxAtTickcount: {
                    unsigned now = 0;
                    m_owner.RtsShmem().GetTickCount(m_owner.ChannelNumber(), &now);
                    line += FormatText("@tick=%d(%d) ", static_cast<int>(triggerValue),
                                       static_cast<int>(now));
                    break;
                }
                case TmsCtxAtGpi:
                case TmsCtxDefaultAtGpi:
                    line += FormatText("@ctxGpi, trig=%d, ctx=%d ", static_cast<int>(triggerValue),
                                       static_cast<int>(ctx.contextIndex));
                    break;
                case TmsCtxAtClockWatcher:
                    line += FormatText("@clock=0x%x ", triggerValue);
                    break;
                default:
                    line += FormatText("@gang=0x%x opid=%d ", triggerValue & 0xFFFFu,
                                       static_cast<int>(triggerValue >> 16));
                    break;
            }
            if (condition == TmsCtxAtGangWatcher) {
                // The gang's watcher fires the change on every member at once
                // with an ordinary id: the context takes it now.
                unmerged = m_rec;
                ctx.changeId = TakeChangeId();
                if ((flags & kPortState) != 0) {
                    m_rec.portState = requested;
                }
                if ((flags & kSpeed) != 0) {
                    m_rec.speed = client.speed;
                }
                if ((flags & kPosition) != 0) {
                    m_rec.position = position;
                }
                if ((flags & kStop) != 0) {
                    ApplyStop();
                }
            } else {
                ctx.changeId = TakeScheduledId();
            }
            if ((flags & kPortState) != 0) {
                line += PortStateWord(requested);
            }
            if ((flags & kStop) != 0) {
                line += "stop ";
            }
            if ((flags & kSpeed) != 0) {
                line += FormatText("speed=%0.2f ", static_cast<double>(client.speed));
            }
            if ((flags & kPosition) != 0) {
                line += FormatText("pos=%d(%d) ", position.movie, position.port);
            }
        }
        CMmioMsg message(rts::kSmallMessageSize);
        HRESULT sent = rts::BuildScheduleMessage(message, schedule, ctx);
        if (SUCCEEDED(sent)) {
            sent = m_owner.SendRtsMsg(message, kSendTimeoutMs);
        }
        if (FAILED(sent) && unmerged) {
            // The RTS never had the change: the context must not act as if
            // it will fire. Unless a later change has moved on since.
            CCriticalSectionLock lock(m_cs);
            if (m_rec.changeId == ctx.changeId) {
                m_rec = *unmerged;
            }
        }
        CheckHr(trace, sent);
        trace.Trace("%s", line.c_str());
    });
}
