// CChannel: the settings that reach the RTS directly rather than through a
// context: E-to-E, the default idle and end modes, and the GPI inputs that
// trigger transport actions.
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/frame/ComBoundary.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cctype>

namespace {

namespace block = channel_block;

}  // namespace

HRESULT CChannel::SetEtoE(BOOL bEtoE) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::SetEtoE %d", bEtoE);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        const bool value = bEtoE != FALSE;
        // Paused contexts show a new state at once; the same state again
        // would only send them another stop.
        if (value != m_eeState.load()) {
            for (const auto& context : m_contexts) {
                // S_FALSE from a free context is no failure of the channel's.
                if (const HRESULT hr = context->ApplyEtoEChange(value); FAILED(hr)) {
                    CheckHr(trace, hr);
                }
            }
        }
        m_eeState = value;
        if (CComPtr<IConfigMgr> manager = ConfigMgr(); manager != nullptr) {
            const CBstr path(
                FormatText("//Channel[@channelIndex=\"%d\"]/Monitor", m_config.channelIndex));
            TMS_CHECK_COM(trace, manager->SetConfigAttribute(
                                     path, "ee", CVariant(value ? "true" : "false"), 1));
        }
        if (CStatusFileLock status(m_chanAccess.get()); status.Acquired()) {
            const std::uint32_t now = GetTickCount();
            status.Write8(block::kEe, value ? 1 : 0);
            status.Write32(block::kStampMonitor, now);
            status.Write32(block::kStampMaster, now);
        }
    });
}

HRESULT CChannel::GetEtoE(BOOL* pEtoE) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::GetEtoE");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pEtoE == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetEtoE: no place for the result");
        }
        *pEtoE = m_eeState ? -1 : 0;
    });
}

HRESULT CChannel::SetDefaultIdleMode(bool useEtoE, bool force) {
    CCriticalSectionLock lock(m_idleModeCs);
    CTmsEntryPoint trace("CChannel::SetDefaultIdleMode");
    return TMS_ERROR_FRAME(trace, [&] {
        bool mode = useEtoE ? m_eeState.load() : false;
        if (!EeBoard()) {
            const std::string type = ChannelType();
            if (type == "Player") {
                mode = false;
            } else if (type == "Recorder") {
                mode = true;
            }
        }
        if (mode == m_idleModeEe && !force) {
            trace.SetResult(S_OK);
            return;
        }
        m_idleModeEe = mode;
        trace.Trace("    %s:dftCtx: idleMode=%s", ChannelName().c_str(), mode ? "EE" : "Freeze");
        CMmioMsg message(rts::kLargeMessageSize);
        CheckHr(trace, rts::BuildPortContextMessage(
                           message, rts::DefaultIdleModeContext(mode ? TmsStopEE : TmsStopFreeze)));
        Send(trace, message);
    });
}

HRESULT CChannel::SetDefaultEndMode(std::int32_t mode) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::SetDefaultEndMode");
    return TMS_ERROR_FRAME(trace, [&] {
        m_config.defaultEndMode = mode;
        // The word of the mode the RTS is sent: Default goes as Freeze.
        const rts::PortContextRecord record = rts::DefaultEndModeContext(mode);
        trace.Trace("    %s:dftCtx: endMode=%s", m_channelId.c_str(), StopModeWord(record.endMode));
        CMmioMsg message(rts::kLargeMessageSize);
        CheckHr(trace, rts::BuildPortContextMessage(message, record));
        Send(trace, message);
    });
}

HRESULT CChannel::HandleGpiInputMsgSend(std::int32_t controlIndex, bool cancel,
                                        rts::PortContextRecord* record) {
    CTmsEntryPoint trace("CChannel::HandleGpiInputMsgSend");
    return TMS_ERROR_FRAME(trace, [&] {
        record->contextIndex = rts::kDefaultContextIndex;
        record->changeId = rts::kChangeIdGpiInput;
        CMmioMsg message(rts::kSmallMessageSize);
        CheckHr(trace, rts::BuildScheduleMessage(
                           message, rts::GpiInputSchedule(controlIndex, cancel), *record));
        Send(trace, message);
    });
}

HRESULT CChannel::HandleGpiInputInit(IXMLDOMDocument2* document) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::HandleGpiInputInit");
    return TMS_ERROR_FRAME(trace, [&] {
        rts::PortContextRecord cancelAll = rts::GpiInputContext();
        CheckHr(trace, HandleGpiInputMsgSend(-1, true, &cancelAll));
        CConfigReader read(trace);
        const auto inputs = read.All(
            read.Nodes(document, FormatText("//Channel[@channelIndex=\"%d\"]/Gpi/GpiInputComponent",
                                            m_config.channelIndex)));
        for (const auto& input : inputs) {
            std::string id;
            read.Text(input, "@id", &id);
            CComPtr<IXMLDOMNode> gpi =
                read.Node(document, FormatText("//GpiInput[@id=\"%s\"]", id.c_str()));
            std::string action;
            std::int32_t controlIndex = -1;
            read.Text(gpi, "@triggerAction", &action);
            read.Long(gpi, "@controlIndex", &controlIndex);
            rts::PortContextRecord record = rts::GpiInputContext();
            if (EqualsNoCase(action, "Play")) {
                record.flags = rts::kFlagPortState | rts::kFlagSpeed;
                record.portState = TmsShuttlePlay;
                record.speed = 1.0f;
            } else if (EqualsNoCase(action, "Stop")) {
                record.flags = rts::kFlagStopAsIdle;
            } else if (EqualsNoCase(action, "Rewind")) {
                record.flags = rts::kFlagPortState | rts::kFlagSpeed;
                record.portState = TmsShuttlePlay;
                record.speed = m_config.shuttleSpeedMin;
            } else if (EqualsNoCase(action, "FastForward")) {
                record.flags = rts::kFlagPortState | rts::kFlagSpeed;
                record.portState = TmsShuttlePlay;
                record.speed = m_config.shuttleSpeedMax;
            } else if (EqualsNoCase(action, "Record")) {
                record.flags = rts::kFlagPortState | rts::kFlagSpeed;
                record.portState = TmsShuttleRecord;
                record.speed = 1.0f;
            } else {
                continue;  // no transport action for this input
            }
            CheckHr(trace, HandleGpiInputMsgSend(controlIndex, false, &record));
        }
    });
}
