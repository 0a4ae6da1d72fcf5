#include "tmschannel/context/StatusHandOn.h"

#include <cstring>

#include "platform/kernel/Ticks.h"
#include "server/ipmclient/RtsStatusTypes.h"

bool CStatusHandOn::Due(const context_record::StatusRecord& record, DWORD now,
                        DWORD lastStateMessage) const {
    const bool heldAtLimit = record.triggerStatus == TmsTriggerEnded &&
                             record.portState == TmsShuttlePlay && record.speed != 0.0f;
    return !m_handed || std::memcmp(m_last.data(), &record, m_last.size()) != 0 || heldAtLimit ||
           TickDiff(now, lastStateMessage) >= kRefreshMs || TickDiff(now, m_handedAt) >= kRefreshMs;
}

void CStatusHandOn::Handed(const context_record::StatusRecord& record, DWORD now) {
    std::memcpy(m_last.data(), &record, m_last.size());
    m_handedAt = now;
    m_handed = true;
}
