// A request as the RTS simulator understood it, after the checker accepted
// it: the records it acts on, in the protocol's byte layouts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t RtsFourCc(const char (&s)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}
std::string RtsFourCcText(std::uint32_t code);

// The "ctx " body, 56 bytes.
struct RtsCtxRecord {
    std::int32_t context;      // +0: 0 to 3, -1 the channel's default context
    std::uint32_t flags;       // +4
    std::int32_t changeId;     // +8
    std::int32_t trigger;      // +12
    std::int32_t reserved;     // +16
    std::int32_t portState;    // +20
    std::int32_t position;     // +24
    std::int32_t minPosition;  // +28
    std::int32_t maxPosition;  // +32
    std::int32_t endMode;      // +36
    std::int32_t idleMode;     // +40
    float speed;               // +44
    std::int32_t markIn;       // +48
    std::int32_t markOut;      // +52
};
static_assert(sizeof(RtsCtxRecord) == 56);

// Flags of RtsCtxRecord::flags that validate its fields.
enum : std::uint32_t {
    kCtxTrigger = 0x0001,
    kCtxPauseAtMax = 0x0002,
    kCtxPortState = 0x0004,
    kCtxPosition = 0x0008,
    kCtxMinPosition = 0x0010,
    kCtxMaxPosition = 0x0020,
    kCtxEndMode = 0x0040,
    kCtxIdleMode = 0x0080,
    kCtxSpeed = 0x0100,
    kCtxMarks = 0x0200,
    kCtxPurge = 0x0400,
    kCtxStopAsIdle = 0x0800,
    kCtxHeldAtLimit = 0x1000,
};

struct RtsGpiState {
    std::int32_t position;  // where the outputs change
    std::uint32_t mask;     // output bits
};

// An ancillary-data state that names a file: the RTS plays or records
// ancillary packets from start to last.
struct RtsAncSpan {
    std::int32_t start;
    std::int32_t last;
};

// The "schc" body, 48 bytes: a change held until its condition.
struct RtsScheduleRecord {
    std::int32_t condition = 0;      // +0: 0 tick, 1 GPI, 2 default at GPI, 3 clock, 4 gang
    std::uint32_t triggerValue = 0;  // +4
    std::string name;                // +8, 36 bytes with its NUL
    bool cancel = false;             // +44
};

// A media file a file-state list opens ("fr  " read, "fw  " write).
struct RtsFileOpen {
    std::uint16_t code = 0;
    bool write = false;
    std::int32_t mediaFileType = 0;
    std::string handleName;
};

// A media state of a state list (video, audio, timecode, anc-data).
struct RtsMediaState {
    bool video = false;
    std::string resource;        // type name and index text of its list
    std::int32_t start = 0;      // port position
    std::uint16_t fileCode = 0;  // 0: black
    std::int32_t mediaPosition = 0;
    std::int32_t remaining = 0;  // positions after start that it covers
};

// One timecode state: from port position start on, the material's timecode
// runs from mediaPosition; file code 0 is black (no timecode).
struct RtsTimecodeState {
    std::int32_t start;
    std::uint16_t fileCode;
    std::int32_t mediaPosition;
};

struct RtsMessage {
    std::uint32_t form = 0;
    bool hasCtx = false;
    RtsCtxRecord ctx{};
    std::vector<std::uint16_t> filesOpened;  // "fr  " / "fw  "
    std::vector<std::uint16_t> filesClosed;  // "fcls"
    int resources = 0;                       // "LIST rbuf" count
    int states = 0;                          // state records in all lists
    bool hasListEnd = false;
    std::int32_t listEnd = 0;  // last position the states cover
    std::vector<RtsGpiState> gpiStates;
    std::vector<RtsAncSpan> ancSpans;
    bool hasSchedule = false;
    RtsScheduleRecord schedule;
    std::vector<RtsFileOpen> fileOpens;      // in order, with filesOpened
    std::vector<RtsMediaState> mediaStates;  // every media state, in order
    std::string configText;                  // "cdef" of "open" and "rfsh", without its NUL
    bool hasResourceLists = false;
    // Per "audio" list, in order: whether any of its states plays a file.
    std::vector<bool> audioWithMedia;
    std::vector<RtsTimecodeState> timecodeStates;  // of the first "timecode" list
};
