// CStatusHandOn: which of a context's status records go on to its timeline.
// Handing a record on wakes the timeline's hand-back thread, dear at every
// field for every context; a cued or parked context reports the same record
// cycle after cycle, and the broker learns nothing from a copy.
//
// A record is due when no record was handed since the last Forget (a new
// timeline or allocation), when it differs from the last one handed in any
// of its bytes, or when the broker has work to do with an unchanged one:
// - its state refresh, kRefreshMs after the context's last state message
//   (counted from that message, not from the last hand-on, which came
//   earlier: the broker would find the second not yet up and wait another);
// - a context that plays on at a speed while the RTS holds it at its limit
//   (trigger ended): the broker's limit handling looks at every record;
// - and, whatever else, once every kRefreshMs (a retry of a send that failed).
//
// Thread safety: none; the owning context guards it with its lock.
#pragma once

#include <array>
#include <cstdint>

#include "platform/kernel/WinTypes.h"
#include "tmschannel/context/ContextRecord.h"

class CStatusHandOn {
public:
    static constexpr DWORD kRefreshMs = 1000;

    // True when record should be handed on at tick now; lastStateMessage is
    // the tick of the context's last state message.
    bool Due(const context_record::StatusRecord& record, DWORD now, DWORD lastStateMessage) const;
    // Notes record as handed on at tick now.
    void Handed(const context_record::StatusRecord& record, DWORD now);
    // The next record is due whatever it holds.
    void Forget() { m_handed = false; }

private:
    bool m_handed = false;
    std::array<unsigned char, sizeof(context_record::StatusRecord)> m_last{};
    DWORD m_handedAt = 0;
};
