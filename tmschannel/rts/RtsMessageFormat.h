// The RTS message format: form types, LIST types, chunk ids and the byte
// layout of every chunk body. This is the one place these layouts live; every
// writer and reader of RTS messages uses these records and never packs bytes
// by hand. All numbers are little-endian; offsets are in the trailing comments.
//
// A message is one RIFF chunk ("RIFF", size, form type, chunks). Every chunk
// body the component writes is padded with zeros to a multiple of 4 bytes and
// the padding counts in the chunk size. Unset and reserved bytes are 0.
#pragma once

#include "tmschannel/rts/LittleEndian.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rts {

// Four-character code as WINMM stores it: the characters in order, first in
// the low byte.
constexpr std::uint32_t FourCC(const char (&s)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}

// Forms.
constexpr std::uint32_t kFormOpen = FourCC("open");
constexpr std::uint32_t kFormRefresh = FourCC("rfsh");
constexpr std::uint32_t kFormClose = FourCC("clos");
constexpr std::uint32_t kFormStateBuffer = FourCC("sbuf");
constexpr std::uint32_t kFormSchedule = FourCC("schc");
constexpr std::uint32_t kFormCloseContext = FourCC("cctx");
constexpr std::uint32_t kFormReply = FourCC("repl");
constexpr std::uint32_t kFormStatus = FourCC("stat");
// LIST types.
constexpr std::uint32_t kListResourceBuffer = FourCC("rbuf");
constexpr std::uint32_t kListFile = FourCC("file");
constexpr std::uint32_t kListResourceStatus = FourCC("rsts");
// Chunks.
constexpr std::uint32_t kChunkOwner = FourCC("ownr");
constexpr std::uint32_t kChunkConfig = FourCC("cdef");
constexpr std::uint32_t kChunkContext = FourCC("ctx ");
constexpr std::uint32_t kChunkSchedule = FourCC("schc");
constexpr std::uint32_t kChunkFileRead = FourCC("fr  ");
constexpr std::uint32_t kChunkFileWrite = FourCC("fw  ");
constexpr std::uint32_t kChunkFileClose = FourCC("fcls");
constexpr std::uint32_t kChunkResource = FourCC("res ");
constexpr std::uint32_t kChunkVideo = FourCC("vid ");
constexpr std::uint32_t kChunkAudio = FourCC("aud ");
constexpr std::uint32_t kChunkTimecode = FourCC("tc  ");
constexpr std::uint32_t kChunkAncData = FourCC("ancd");
constexpr std::uint32_t kChunkGpi = FourCC("gpi ");
constexpr std::uint32_t kChunkAck = FourCC("ack ");

// Buffer capacities.
constexpr std::uint32_t kLargeMessageSize = 40960;  // state, configuration, default modes
constexpr std::uint32_t kSmallMessageSize = 1024;   // close, GPI input, schedule, replies

// Narrow (8-bit) text fields hold at most this many characters plus a NUL.
constexpr std::size_t kNameFieldSize = 36;
constexpr std::size_t kHandleNameFieldSize = 256;

// Copies text into a fixed narrow field: cut to size - 1 characters, always
// NUL-terminated, the rest of the field zero.
template <std::size_t N>
void SetNarrow(char (&field)[N], std::string_view text) {
    std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    for (std::size_t i = 0; i < N; ++i) {
        field[i] = i < n ? text[i] : 0;
    }
}

// Reads a fixed narrow field that may lack its NUL (from a peer).
template <std::size_t N>
std::string_view GetNarrow(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n] != 0) {
        ++n;
    }
    return std::string_view(field, n);
}

// Trigger of a port context change.
enum Trigger : std::int32_t {
    kTriggerNone = 0,
    kTriggerAsap = 1,
    kTriggerManual = 2,
    kTriggerFollow = 3,
    kTriggerNow = 4,
};

// Flags of the port context record: which fields the RTS applies.
enum ContextFlags : std::uint32_t {
    kFlagTrigger = 0x0001,
    kFlagPausePoint = 0x0002,  // the maximum position is a pause point; with kFlagMaxPos
    kFlagPortState = 0x0004,
    kFlagPosition = 0x0008,
    kFlagMinPos = 0x0010,
    kFlagMaxPos = 0x0020,
    kFlagEndMode = 0x0040,
    kFlagIdleMode = 0x0080,
    kFlagSpeed = 0x0100,
    kFlagMarks = 0x0200,
    kFlagPurge = 0x0400,
    kFlagStopAsIdle = 0x0800,
    kFlagAtLimit = 0x1000,
};

// Change ids with a fixed meaning.
constexpr std::int32_t kChangeIdDefaultMode = 0;
constexpr std::int32_t kChangeIdGpiInput = -2;
constexpr std::int32_t kFirstScheduledChangeId = -10;
// Context index of the channel's default context.
constexpr std::int32_t kDefaultContextIndex = -1;

#pragma pack(push, 1)

// "ownr": the channel's owner record.
struct OwnerRecord {
    le_int32 channelIndex;               // 0
    char channelId[kNameFieldSize];      // 4
    char application[kNameFieldSize];    // 40
    char appServerId[kNameFieldSize];    // 76
};

// "ctx ": the port context record.
struct PortContextRecord {
    le_int32 contextIndex;  // 0   0..3, or -1 for the channel's default context
    le_uint32 flags;        // 4   low 16 bits of the change flags
    le_int32 changeId;      // 8
    le_int32 trigger;       // 12  Trigger
    le_int32 reserved;      // 16  0
    le_int32 portState;     // 20  TmsPortState
    le_int32 position;      // 24  port position
    le_int32 minPosition;   // 28
    le_int32 maxPosition;   // 32
    le_int32 endMode;       // 36  TmsStopMode
    le_int32 idleMode;      // 40  TmsStopMode
    le_float speed;         // 44
    le_int32 markIn;        // 48
    le_int32 markOut;       // 52  +1 in formats with 2 fields per frame
};

// "schc": the schedule record.
struct ScheduleRecord {
    le_int32 condition;           // 0  TmsPortContextCondition
    le_int32 triggerValue;        // 4
    char name[kNameFieldSize];    // 8
    std::uint8_t cancel;          // 44 1 = cancel the named change
    std::uint8_t reserved[3];     // 45
};

// "fr  ", "fw  ", "fcls": open for read, open for write, close a media file.
struct FileStateRecord {
    le_uint16 fileCode;                      // 0  1..1000
    le_uint16 reserved;                      // 2
    le_int32 mediaFileType;                  // 4
    char handleName[kHandleNameFieldSize];   // 8
};

// "res ": first chunk of every LIST "rbuf".
struct ResourceIdRecord {
    char indexText[kNameFieldSize];  // 0
    char typeName[kNameFieldSize];   // 36
};

// "vid ": one video state.
struct VideoStateRecord {
    le_int32 start;          // 0  port position where the state begins
    le_uint16 fileCode;      // 4
    le_uint16 reserved1;     // 6
    le_int32 mediaPosition;  // 8
    le_int32 reserved2;      // 12
    le_int32 remaining;      // 16
    le_int32 offset;         // 20
    le_uint16 reserved3;     // 24
    le_uint16 videoFlags;    // 26
    le_int32 reserved4;      // 28
};

// "aud ": one audio state.
struct AudioStateRecord {
    le_int32 start;          // 0
    le_uint16 fileCode;      // 4
    le_uint16 reserved1;     // 6
    le_int32 mediaPosition;  // 8
    le_int32 reserved2;      // 12
    le_int32 remaining;      // 16
    le_int32 offset;         // 20
    le_int32 reserved3;      // 24
    le_int16 gain;           // 28 4096 is unity, at most 32767
    le_uint16 reserved4;     // 30
    le_int32 reserved5[3];   // 32
    le_int32 reserved6;      // 44
};

// "tc  " and "ancd": one timecode or ancillary-data state.
struct TrackStateRecord {
    le_int32 start;          // 0
    le_int32 fileCode;       // 4
    le_int32 mediaPosition;  // 8
    le_int32 remaining;      // 12
    le_int32 offset;         // 16
};
using TimecodeStateRecord = TrackStateRecord;
using AncDataStateRecord = TrackStateRecord;

// "gpi ": GPI outputs change at a port position; written only for a nonzero mask.
struct GpiStateRecord {
    le_int32 position;  // 0
    le_uint32 mask;     // 4
};

// "ack ": the status of a reply; 0 is success.
struct AckRecord {
    le_int32 status;  // 0
    le_int32 extra;   // 4 not read
};

#pragma pack(pop)

static_assert(sizeof(OwnerRecord) == 112);
static_assert(offsetof(OwnerRecord, application) == 40 && offsetof(OwnerRecord, appServerId) == 76);
static_assert(sizeof(PortContextRecord) == 56);
static_assert(offsetof(PortContextRecord, speed) == 44 && offsetof(PortContextRecord, markOut) == 52);
static_assert(sizeof(ScheduleRecord) == 48 && offsetof(ScheduleRecord, cancel) == 44);
static_assert(sizeof(FileStateRecord) == 264 && offsetof(FileStateRecord, handleName) == 8);
static_assert(sizeof(ResourceIdRecord) == 72);
static_assert(sizeof(VideoStateRecord) == 32 && offsetof(VideoStateRecord, videoFlags) == 26);
static_assert(sizeof(AudioStateRecord) == 48 && offsetof(AudioStateRecord, gain) == 28);
static_assert(sizeof(TrackStateRecord) == 20);
static_assert(sizeof(GpiStateRecord) == 8);
static_assert(sizeof(AckRecord) == 8);

}  // namespace rts
