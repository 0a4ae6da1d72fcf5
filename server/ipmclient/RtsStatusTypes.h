// The status records the RTS keeps per channel, context and resource, as the
// IPM client library hands them to its callers. Callers read members by byte
// offset, so each field's offset is fixed and checked below. Words the
// component does not read are kept so that the records keep their sizes.
#pragma once

#include <cstddef>
#include <cstdint>

// Port states, the values of the type library's enumeration.
enum TmsPortState : std::int32_t {
    TmsIdle = 0,
    TmsCuePlay = 1,
    TmsShuttlePlay = 2,
    TmsCueRecord = 3,
    TmsShuttleRecord = 4,
};

// End and idle modes.
enum TmsStopMode : std::int32_t {
    TmsStopFreeze = 0,
    TmsStopEE = 1,
    TmsStopBlack = 2,
    TmsStopDefault = 3,
};

// What the RTS is doing with a context's trigger; 0 means no trigger pending.
enum TmsPortContextTriggerStatus : std::int32_t {
    TmsTriggerNone = 0,
    TmsTriggerPending = 1,
    TmsTriggerStarted = 2,
    TmsTriggerRunning = 3,
    TmsTriggerEnded = 4,
};

struct TmsPortContextStatus {
    std::uint32_t tickCount;     // +0: RTS tick of this status
    std::uint32_t changeId;      // +4: id of the last state message taken
    std::int32_t triggerStatus;  // +8: TmsPortContextTriggerStatus
    std::int32_t portState;      // +12: TmsPortState
    std::int32_t position;       // +16: port position, fields
    std::int32_t recordStart;    // +20: first recorded port position
    std::int32_t recordEnd;      // +24: last recorded port position
    std::int32_t stateIndex;     // +28: index of the state being run
    std::int32_t reserved32;     // +32
    float speed;                 // +36: speed, 1.0 = play
    std::int32_t idleMode;       // +40: TmsStopMode
    std::int32_t endMode;        // +44: TmsStopMode
    std::uint32_t errorCode;     // +48: 0, or why the context stopped
    std::uint32_t reserved52;    // +52
};
static_assert(offsetof(TmsPortContextStatus, triggerStatus) == 8);
static_assert(offsetof(TmsPortContextStatus, speed) == 36);
static_assert(offsetof(TmsPortContextStatus, errorCode) == 48);
static_assert(sizeof(TmsPortContextStatus) == 56);

struct TmsVideoStatus {
    std::uint32_t tickCount;    // +0
    std::uint32_t errorCode;    // +4
    std::int32_t lastPosition;  // +8: last played position
    std::int32_t afdPosition;   // +12: position of the AFD last seen
    std::uint32_t fieldSize;    // +16: bytes of the last field
    std::uint32_t pixelCoding;  // +20
    std::uint32_t reserved[2];  // +24
};
static_assert(offsetof(TmsVideoStatus, afdPosition) == 12);
static_assert(sizeof(TmsVideoStatus) == 32);

struct TmsAudioStatus {
    std::uint32_t tickCount;   // +0
    std::uint32_t errorCode;   // +4
    std::uint32_t reserved8;   // +8
    std::uint16_t gainLeft;    // +12: raw gain, low half of the word
    std::uint16_t gainRight;   // +14: raw gain, high half
    std::uint32_t level;       // +16: raw level in the low 16 bits
    std::uint32_t reserved20;  // +20
};
static_assert(offsetof(TmsAudioStatus, gainLeft) == 12);
static_assert(offsetof(TmsAudioStatus, gainRight) == 14);
static_assert(sizeof(TmsAudioStatus) == 24);

struct TmsTimecodeStatus {
    std::uint32_t tickCount;        // +0
    std::uint32_t errorCode;        // +4
    std::uint32_t reserved8[11];    // +8
    std::uint32_t currentTimecode;  // +52: packed timecode word (word 13)
    std::uint32_t reserved56;       // +56
    std::uint32_t recordTimecode;   // +60: captured record timecode (word 15)
    std::int32_t recordPosition;    // +64: its position (word 16)
    std::uint8_t recordCaptured;    // +68: nonzero when captured (word 17)
    std::uint8_t reserved69[11];    // +69
    std::uint32_t word20;           // +80
    std::uint32_t reserved84[2];    // +84
    std::uint32_t word23;           // +92
};
static_assert(offsetof(TmsTimecodeStatus, currentTimecode) == 52);
static_assert(offsetof(TmsTimecodeStatus, recordTimecode) == 60);
static_assert(offsetof(TmsTimecodeStatus, recordPosition) == 64);
static_assert(offsetof(TmsTimecodeStatus, recordCaptured) == 68);
static_assert(offsetof(TmsTimecodeStatus, word20) == 80);
static_assert(offsetof(TmsTimecodeStatus, word23) == 92);
static_assert(sizeof(TmsTimecodeStatus) == 96);

struct TmsAncillaryDataStatus {
    std::uint32_t tickCount;      // +0
    std::uint32_t errorCode;      // +4
    std::uint32_t packetCount;    // +8: ancillary packets played or recorded, wrapping
    std::uint8_t afdReceived;     // +12: nonzero when an AFD was received
    std::uint8_t afd;             // +13: bits 0-3 code, 4 widescreen, 5 use, 6 valid
    std::uint8_t present;         // +14: nonzero while ancillary data flows
    std::uint8_t reserved15[29];  // +15
    std::uint32_t word11;         // +44
    std::uint32_t reserved48[5];  // +48
    std::uint32_t word17;         // +68
};
static_assert(offsetof(TmsAncillaryDataStatus, afdReceived) == 12);
static_assert(offsetof(TmsAncillaryDataStatus, afd) == 13);
static_assert(offsetof(TmsAncillaryDataStatus, packetCount) == 8);
static_assert(offsetof(TmsAncillaryDataStatus, present) == 14);
static_assert(offsetof(TmsAncillaryDataStatus, word11) == 44);
static_assert(offsetof(TmsAncillaryDataStatus, word17) == 68);
static_assert(sizeof(TmsAncillaryDataStatus) == 72);
