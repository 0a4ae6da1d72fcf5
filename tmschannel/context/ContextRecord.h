// The 124-byte context change record a client hands to ApplyContextChange
// (the context keeps its current record in the same layout), the 40-byte
// status record handed back through ApplyContextUpdate, and the change
// flags. Fields are little-endian whatever the host; a pair is the movie
// position, then the port position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tmschannel/rts/LittleEndian.h"

namespace context_record {

// The low 16 bits are the flags of the RTS port context record; the high
// bits only the context reads.
enum ChangeFlag : std::uint32_t {
    kTrigger = 0x0001,
    kPausePoint = 0x0002,  // the maximum is a pause point; sent with kMaxPosition
    kPortState = 0x0004,
    kPosition = 0x0008,
    kMinPosition = 0x0010,
    kMaxPosition = 0x0020,
    kEndMode = 0x0040,
    kIdleMode = 0x0080,
    kSpeed = 0x0100,
    kMarks = 0x0200,
    kPurge = 0x0400,
    kStopAsIdle = 0x0800,
    kAtLimit = 0x1000,  // held at a play limit, speed 0
    kStop = 0x10000,
    kConstruction = 0x100000,
    kStartLimit = 0x200000,
    kEndLimit = 0x400000,
    kEdit = 0x800000,
};
inline constexpr std::uint32_t kRtsFlagsMask = 0xFFFF;
// Edit options: the change is a thumbnail mark, not an edit.
inline constexpr std::int32_t kEditIsThumbnail = 0x4;
inline constexpr std::int32_t kNoEndLimit = 0x7FFFFFFF;

// The change id after id. Ordinary changes count 1, 2, ... and wrap from
// the largest id back to 1: 0 is the default modes' id and the negative ids
// belong to the GPI input (-2) and to scheduled changes (-10 and below),
// which the RTS and the update path tell apart by their sign.
constexpr std::int32_t NextChangeId(std::int32_t id) {
    return id <= 0 || id == INT32_MAX ? 1 : id + 1;
}

struct Pair {
    le_int32 movie;
    le_int32 port;
};

struct ChangeRecord {
    le_uint32 flags;                 // 0
    le_int32 changeId;               // 4
    le_int32 nextChangeId;           // 8
    le_int32 nextScheduledId;        // 12
    le_int32 previousChangeId;       // 16
    le_int32 reportedChangeId;       // 20
    le_int32 trigger;                // 24
    le_int32 unused28;               // 28
    le_int32 portState;              // 32
    le_int32 endMode;                // 36
    le_int32 idleMode;               // 40
    le_float speed;                  // 44
    Pair position;                   // 48
    Pair markIn;                     // 56
    Pair markOut;                    // 64
    Pair minPosition;                // 72
    Pair maxPosition;                // 80
    le_int32 startLimit;             // 88
    le_int32 endLimit;               // 92
    le_int32 timelineLength;         // 96
    le_int32 recordOffset;           // 100
    std::uint8_t unused104;          // 104
    std::uint8_t underConstruction;  // 105
    std::uint8_t readOnly;           // 106
    std::uint8_t remote;             // 107
    le_int32 editStart;              // 108, the thumbnail mark for a thumbnail change
    le_int32 editEnd;                // 112
    le_int32 editDelta;              // 116
    le_int32 editOptions;            // 120
};
static_assert(sizeof(ChangeRecord) == 124);
static_assert(offsetof(ChangeRecord, portState) == 32);
static_assert(offsetof(ChangeRecord, position) == 48);
static_assert(offsetof(ChangeRecord, maxPosition) == 80);
static_assert(offsetof(ChangeRecord, underConstruction) == 105);
static_assert(offsetof(ChangeRecord, editOptions) == 120);

// The context status record; also what ApplyContextUpdate reads.
struct StatusRecord {
    le_int32 tickCount;      // 0, never set by the status pass
    le_int32 changeId;       // 4
    le_int32 triggerStatus;  // 8
    le_int32 portState;      // 12
    le_int32 portPosition;   // 16
    le_int32 moviePosition;  // 20
    le_int32 word20;         // 24, the RTS status word at offset 20
    le_int32 recordEnd;      // 28, 0x7FFFFFFF while a record runs without end
    le_int32 unused32;       // 32
    le_float speed;          // 36
};
static_assert(sizeof(StatusRecord) == 40);

}  // namespace context_record
