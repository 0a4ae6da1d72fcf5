// The simulated RTS of one channel: what it was told (port contexts, state
// lists, file codes, GPI) and where it is (tick, position, speed), advanced
// one video field at a time and published into the channel's block of the
// RTS shared memory.
//
// Movement: a context in ShuttlePlay moves at its speed (fields per field,
// fractions kept); ShuttleRecord records one field per field whatever the
// speed; CuePlay and CueRecord hold their position. A context stops at its
// maximum position when one was given, at its minimum when moving
// backwards, and at the last position its state list covers: it reports
// trigger status 4 (ended) there with the speed it had, until the client
// holds it (speed 0, or "at limit"). A context the client sends idle
// (port state 0 or stop-as-idle) reports trigger status 4 with port state
// 0 until the client revokes it ("cctx"), so that the client sees the end of
// what it started; only a context nobody uses reports 0. The idle mode
// applies while the context is idle.
//
// Recording: the media files a record state names grow on their volume, one
// field of bytes per field recorded (the video codec's data rate; 192000
// bytes a second for the other resources), the video file with a picture
// index (server/appserverutil/PictureIndex.h) in the codec's GOP pattern.
// Playing a state whose media position lies past what was recorded into
// its file is counted and noted.
//
// Thread safety: none; the simulator guards each model with its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/UniqueFd.h"
#include "server/ipmclient/RtsShmemLayout.h"
#include "server/rtssim/RtsMessage.h"
#include "server/rtssim/RtsSimConfig.h"

class CRtsChannelModel {
public:
    explicit CRtsChannelModel(const RtsSimChannel& config);

    // Takes a message the checker accepted.
    void Apply(const RtsMessage& message);
    // Client opened ("open") or went away: forgets files and contexts.
    void Reset();
    // Moves the clock on by fields (at most a few at a time).
    void Advance(std::uint32_t fields);
    void SetGpiInput(int input, bool on);
    // As if the RTS had been told by another controller: the context takes
    // the port state (any but idle makes it the active one) and reports the
    // trigger status.
    void SetContextState(int index, std::int32_t portState, std::int32_t trigger);
    void Publish(RtsChannelBlock& block) const;
    // The next video file recorded starts this many pictures before an I
    // picture (once); 0 puts the I picture first again.
    void SetGopOffset(int pictures) { m_gopOffset = pictures; }
    // Played states whose media position lay past what had been recorded.
    std::uint64_t PlayedPastEnd() const { return m_playedPastEnd; }
    // What the simulator should log, since the last call.
    std::vector<std::string> TakeNotes() { return std::exchange(m_notes, {}); }

    const std::set<std::uint16_t>& OpenFiles() const { return m_openFiles; }
    bool IsOpen() const { return m_open; }
    std::uint32_t Ticks() const { return m_ticks; }
    std::string Summary() const;

    struct Context {
        std::int32_t portState = TmsIdle;
        double position = 0;
        float speed = 0;
        bool hasMin = false, hasMax = false, hasListEnd = false;
        std::int32_t minPosition = 0, maxPosition = 0, listEnd = 0;
        std::int32_t endMode = TmsStopFreeze, idleMode = TmsStopFreeze;
        std::int32_t trigger = TmsTriggerNone;
        std::uint32_t changeId = 0;
        bool atEnd = false;
        std::int64_t recordedFields = 0;    // by the record in progress
        std::int32_t recordStart = 0;       // port position the record began at
        std::vector<RtsMediaState> states;  // of the last list sent
    };
    const Context& ContextAt(int index) const { return m_contexts[index]; }
    std::int32_t ActiveContext() const { return m_active; }
    std::uint32_t GpiInputs() const { return m_gpiIn; }
    std::uint32_t GpiOutputs() const { return m_gpiOut; }

private:
    struct MediaFile {
        std::string path;  // the file the handle names, resolved at open
        bool write = false;
        bool video = false;
        std::unique_ptr<CUniqueFd> data, index;  // open while recording into it
        std::int64_t fields = 0;                 // recorded into it so far
        double bytesOwed = 0;                    // fractions of a field's bytes
        int gopStart = 0;                        // pattern position of field 0
    };
    void ApplyCtx(const RtsCtxRecord& r, const RtsMessage& m);
    void OpenFiles(const RtsMessage& m);
    void CloseFile(std::uint16_t code);
    void OpenIndex(MediaFile& f);
    // One field recorded at port position pos into every file a state of
    // the context names there.
    void RecordField(const Context& c, std::int32_t pos);
    static std::vector<const RtsMediaState*> StatesAt(const Context& c, std::int32_t pos);
    void WriteField(MediaFile& f);
    // A playing context at pos: a state past what its file recorded.
    void CheckPlayed(const Context& c, std::int32_t pos);
    std::vector<std::uint8_t> GopPattern() const;

    RtsSimChannel m_config;
    bool m_open = false;
    std::uint32_t m_ticks = 0;
    std::array<Context, kRtsContexts> m_contexts{};
    std::int32_t m_active = -1;
    std::set<std::uint16_t> m_openFiles;
    std::uint32_t m_gpiIn = 0, m_gpiOut = 0;
    std::vector<RtsGpiState> m_gpiPending;                 // of the active context, by position
    std::map<std::uint16_t, MediaFile> m_files;            // by file code
    std::map<std::string, std::int64_t> m_recordedFields;  // by path; outlives the code
    std::map<std::string, int> m_gopStarts;                // by path, for a file opened again
    std::set<std::uint16_t> m_pastEndNoted;                // codes noted once
    int m_gopOffset = 0;
    std::uint64_t m_playedPastEnd = 0;
    std::vector<std::string> m_notes;
};
