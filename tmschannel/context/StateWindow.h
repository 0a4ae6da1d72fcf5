// CStateWindow: the states a context has sent that the RTS may still hold,
// in ascending port order, at most 512; and the building of the next state
// list forward or in reverse from a position, repeating between a loop
// start and a loop end when the timeline repeats.
//
// Thread safety: owned by one context and used under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "tmschannel/context/StateEntry.h"

class CStateWindow {
public:
    static constexpr int kMaxStates = 512;
    static constexpr int kStatesPerList = 256;

    // What the context tells a list builder about itself.
    struct ListContext {
        std::int32_t portState = 0;
        std::int32_t timelineLength = 0;
        std::int32_t recordPhase = 0;
        std::int32_t fieldsPerFrame = 2;
        float speed = 0.0f;
        bool underConstruction = false;
        // The channel's loop setting or the context's loop flag is on.
        bool loopOn = false;
    };
    struct ListResult {
        int count = 0;
        // The window had to be cleared first and held states (the RTS must
        // be told to purge them).
        bool purged = false;
    };

    std::size_t Count() const { return m_entries.size(); }
    bool Empty() const { return m_entries.empty(); }
    auto begin() const { return m_entries.begin(); }
    auto end() const { return m_entries.end(); }
    const StateEntry& First() const { return *m_entries.front(); }
    const StateEntry& Last() const { return *m_entries.back(); }

    // Undo of a change that the RTS may not take. From BeginUndo on, the
    // window records what it does instead of copying itself: an entry that
    // leaves the window moves into the record, so that no file it used is
    // closed while the record lives, and added entries are counted. Undo
    // puts the window back as it was at BeginUndo; EndUndo keeps it as it
    // is and destroys what left it. Both end the record; a BeginUndo while
    // recording ends the earlier record as EndUndo does.
    void BeginUndo();
    void Undo();
    void EndUndo();
    bool IsRecording() const { return m_recording; }

    // Destroys every entry; true when there were any.
    bool Clear();
    // Clears the window and forgets the last list position, as for a new
    // timeline: a speed-0 list is then built forward whatever went before.
    void Reset();
    // Index of p (see the algorithm in the source), -1 when outside.
    int FindPos(const PositionPair& p) const;
    bool IsPosIn(const PositionPair& p) const;
    // The first entry after the first n whose movie-port offset changes; -1.
    int FindNextLoop(std::size_t n) const;
    // Adds delta to every entry's movie position; entries that become
    // negative are destroyed.
    void ShiftMovie(std::int32_t delta);

    // Appends (forward) or prepends (reverse) the next list; *out refers to
    // the new entries in ascending port order, which the window owns.
    ListResult CreateForward(const ListContext& c, const PositionPair& p, std::int32_t loopStart,
                             std::int32_t loopEnd, double step, std::vector<StateEntry*>* out);
    ListResult CreateReverse(const ListContext& c, const PositionPair& p, std::int32_t loopStart,
                             std::int32_t loopEnd, double step, std::vector<StateEntry*>* out);

    // The position pair of port position p: the offset of the state that
    // applies there (of current when the window is empty).
    PositionPair PortToMovie(std::int32_t p, const PositionPair& current,
                             std::int32_t fieldsPerFrame) const;

    // The position the last list was built from; both 0x80000000 before.
    const PositionPair& LastListPosition() const { return m_lastList; }

private:
    static bool Builds(const ListContext& c);
    static int LoopsAllowed(const ListContext& c);
    // A list state at (floor m, floor q), frame-aligned; a loop point at
    // (m, q) truncated, never aligned.
    static std::unique_ptr<StateEntry> NewState(double m, double q, std::int32_t fieldsPerFrame);
    static std::unique_ptr<StateEntry> LoopPoint(double m, double q);
    // Destroys the oldest (fromFront) or the newest entries so that added
    // more fit in kMaxStates.
    void MakeRoom(std::size_t added, bool fromFront);

    using Entries = std::deque<std::unique_ptr<StateEntry>>;
    // The window's changes, in order, so that Undo can reverse them. Runs of
    // one kind at one end are one step.
    struct UndoStep {
        enum class Kind { kPushFront, kPushBack, kPopFront, kPopBack, kClear, kShift };
        explicit UndoStep(Kind k) : kind(k) {}
        Kind kind;
        std::size_t pushed = 0;  // kPushFront, kPushBack: entries added
        // kPop*: the entries taken, the first taken first; kClear: the whole
        // window; kShift: the entries erased, in window order.
        Entries entries;
        std::vector<std::size_t> erasedAt;  // kShift: each erased entry's index before
        std::int32_t delta = 0;             // kShift
    };
    // The step to record a change of kind in, merged with the last one when
    // it is of the same kind at the same end; null when not recording.
    UndoStep* Record(UndoStep::Kind kind);
    void PopFront();
    void PopBack();
    void PushFront(std::unique_ptr<StateEntry> entry);
    void PushBack(std::unique_ptr<StateEntry> entry);

    Entries m_entries;
    bool m_recording = false;
    std::deque<UndoStep> m_undo;  // a deque: steps never move
    PositionPair m_undoLastList;
    PositionPair m_lastList{static_cast<std::int32_t>(0x80000000u),
                            static_cast<std::int32_t>(0x80000000u)};
};
