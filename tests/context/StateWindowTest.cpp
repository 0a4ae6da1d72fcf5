// State lists built forward and in reverse, the loop points and repeats,
// the 512-state window, and the searches over it.
#include <gtest/gtest.h>

#include <vector>

#include "server/ipmclient/RtsStatusTypes.h"
#include "tmschannel/context/StateWindow.h"

namespace {

using ListContext = CStateWindow::ListContext;

ListContext Playing(float speed = 1.0f, bool loop = false, std::int32_t fieldsPerFrame = 2) {
    ListContext c;
    c.portState = TmsShuttlePlay;
    c.timelineLength = 100000;
    c.fieldsPerFrame = fieldsPerFrame;
    c.speed = speed;
    c.loopOn = loop;
    return c;
}

std::vector<std::pair<int, int>> Pairs(const std::vector<StateEntry*>& list) {
    std::vector<std::pair<int, int>> out;
    for (const StateEntry* s : list) {
        out.push_back({s->position.movie, s->position.port});
    }
    return out;
}

TEST(StateWindowTest, ForwardStopsAtTheLoopPointOrRepeatsUpToTenTimes) {
    CStateWindow once;
    std::vector<StateEntry*> list;
    auto r = once.CreateForward(Playing(1.0f, false), {100, 1100}, 0, 200, 2.0, &list);
    ASSERT_EQ(r.count, 51);
    const auto got = Pairs(list);
    EXPECT_EQ(got.front(), (std::pair{100, 1100}));
    EXPECT_EQ(got[49], (std::pair{198, 1198}));
    EXPECT_EQ(got[50], (std::pair{200, 1200})) << "the loop point";
    EXPECT_EQ(once.FindNextLoop(0), -1);

    CStateWindow repeat;
    r = repeat.CreateForward(Playing(1.0f, true), {100, 1100}, 0, 200, 2.0, &list);
    ASSERT_EQ(r.count, 256);
    const auto wrapped = Pairs(list);
    EXPECT_EQ(wrapped[51], (std::pair{0, 1202}));
    EXPECT_EQ(wrapped[151], (std::pair{200, 1402}));
    EXPECT_EQ(wrapped[255], (std::pair{4, 1610}));
    EXPECT_EQ(repeat.FindNextLoop(0), 51);
    EXPECT_EQ(repeat.FindNextLoop(52), 152);
    // Faster than 1x never repeats; nor does a record.
    CStateWindow fast;
    EXPECT_EQ(fast.CreateForward(Playing(2.0f, true), {100, 1100}, 0, 200, 4.0, &list).count, 26);
    ListContext recording = Playing(1.0f, true);
    recording.portState = TmsShuttleRecord;
    CStateWindow record;
    EXPECT_EQ(record.CreateForward(recording, {100, 1100}, 0, 200, 2.0, &list).count, 51);
}

TEST(StateWindowTest, ReverseMirrorsForwardInAscendingOrder) {
    CStateWindow window;
    std::vector<StateEntry*> list;
    const auto r = window.CreateReverse(Playing(-1.0f), {100, 1100}, 0, 200, 2.0, &list);
    ASSERT_EQ(r.count, 51);
    const auto got = Pairs(list);
    EXPECT_EQ(got.front(), (std::pair{0, 1000})) << "the loop point";
    EXPECT_EQ(got[1], (std::pair{2, 1002}));
    EXPECT_EQ(got.back(), (std::pair{100, 1100}));
    EXPECT_EQ(window.First().position.movie, 0);
    EXPECT_EQ(window.Last().position.movie, 100);
}

TEST(StateWindowTest, GuardsAlignmentAndClearing) {
    std::vector<StateEntry*> list;
    struct Case {
        const char* what;
        std::int32_t portState, length;
        int expected;
    };
    const Case cases[] = {
        {"idle builds nothing", TmsIdle, 1000, 0},
        {"an empty timeline builds nothing", TmsShuttlePlay, 0, 0},
        {"an empty timeline being recorded builds", TmsShuttleRecord, 0, 256},
        {"a cue builds", TmsCuePlay, 1000, 256},
    };
    for (const auto& c : cases) {
        CStateWindow window;
        ListContext ctx = Playing(0.0f);
        ctx.portState = c.portState;
        ctx.timelineLength = c.length;
        EXPECT_EQ(window.CreateForward(ctx, {0, 0}, 0, 100000, 2.0, &list).count, c.expected)
            << c.what;
    }
    // Two fields a frame: a state at an odd movie position moves back one.
    CStateWindow aligned;
    aligned.CreateForward(Playing(), {101, 1101}, 0, 1000, 2.0, &list);
    EXPECT_EQ(Pairs(list).front(), (std::pair{100, 1100}));
    // A position outside the window clears it (a purge), unless a record
    // is in progress.
    auto r = aligned.CreateForward(Playing(), {5000, 9000}, 0, 100000, 2.0, &list);
    EXPECT_TRUE(r.purged);
    EXPECT_EQ(aligned.First().position.movie, 5000);
    ListContext recording = Playing();
    recording.recordPhase = 1;
    r = aligned.CreateForward(recording, {0, 0}, 0, 100000, 2.0, &list);
    EXPECT_FALSE(r.purged);
    EXPECT_EQ(aligned.Count(), 512u);
}

TEST(StateWindowTest, TheWindowKeepsTheNewest512States) {
    CStateWindow window;
    std::vector<StateEntry*> list;
    const ListContext c = Playing(1.0f, false, 1);
    ASSERT_EQ(window.CreateForward(c, {0, 0}, 0, 100000, 1.0, &list).count, 256);
    // From the last state: the list goes on one step after it.
    ASSERT_EQ(window.CreateForward(c, {255, 255}, 0, 100000, 1.0, &list).count, 255);
    EXPECT_EQ(Pairs(list).front(), (std::pair{256, 256}));
    ASSERT_EQ(window.Count(), 511u);
    ASSERT_EQ(window.CreateForward(c, {510, 510}, 0, 100000, 1.0, &list).count, 255);
    EXPECT_EQ(window.Count(), 512u);
    EXPECT_EQ(window.First().position.movie, 254) << "the oldest went first";
    EXPECT_EQ(window.Last().position.movie, 765);
}

TEST(StateWindowTest, SearchesAndShifts) {
    CStateWindow window;
    std::vector<StateEntry*> list;
    window.CreateForward(Playing(1.0f, false, 1), {0, 0}, 0, 30, 10.0, &list);
    ASSERT_EQ(Pairs(list),
              (std::vector<std::pair<int, int>>{{0, 0}, {10, 10}, {20, 20}, {30, 30}}));
    struct Case {
        PositionPair p;
        int index;
        bool inside;
    };
    const Case cases[] = {
        {{0, 0}, 0, true},  {{30, 30}, 3, true},  {{7, 14}, 1, true},   {{7, 15}, 1, true},
        {{7, 16}, 2, true}, {{7, -1}, -1, false}, {{7, 31}, -1, false}, {{99, 20}, 2, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(window.FindPos(c.p), c.index) << c.p.movie << "(" << c.p.port << ")";
        EXPECT_EQ(window.IsPosIn(c.p), c.inside) << c.p.movie << "(" << c.p.port << ")";
    }
    window.ShiftMovie(-15);
    ASSERT_EQ(window.Count(), 2u) << "states before the deleted stretch are gone";
    EXPECT_EQ(window.First().position.movie, 5);
    EXPECT_EQ(window.First().position.port, 20);
    EXPECT_TRUE(window.Clear());
    EXPECT_FALSE(window.Clear());
    EXPECT_EQ(window.FindPos({0, 0}), -1);
    EXPECT_EQ(window.FindNextLoop(0), -1);
}

TEST(StateWindowTest, PortPositionsTakeTheOffsetOfTheirState) {
    CStateWindow window;
    std::vector<StateEntry*> list;
    const PositionPair current{7, 1007};
    EXPECT_EQ(window.PortToMovie(50, current, 2).movie, 50 - 1000) << "empty: the current offset";
    // Offset 100 up to the loop point at movie 20, then offset 102 from
    // movie 0: states 10(110) 12(112) ... 20(120) 0(122) 2(124) ...
    ListContext c = Playing(1.0f, true);
    window.CreateForward(c, {10, 110}, 0, 20, 2.0, &list);
    struct Case {
        std::int32_t port, movie;
    };
    const Case cases[] = {
        {100, 0},                                    // before the first state: its offset
        {110, 10}, {115, 15}, {120, 20}, {121, 21},  // aligned down to the loop point's field
        {122, 0},  {123, 1},
    };
    for (const auto& k : cases) {
        const PositionPair got = window.PortToMovie(k.port, current, 2);
        EXPECT_EQ(got.port, k.port);
        EXPECT_EQ(got.movie, k.movie) << k.port;
    }
    EXPECT_EQ(window.PortToMovie(100000, current, 2).Offset(), window.Last().position.Offset())
        << "after the last state: its offset";
}

// The window before and after: every entry's pair, and the last list
// position.
struct Picture {
    std::vector<std::pair<int, int>> pairs;
    PositionPair lastList;
};

Picture Take(const CStateWindow& window) {
    Picture p;
    for (const auto& e : window) {
        p.pairs.push_back({e->position.movie, e->position.port});
    }
    p.lastList = window.LastListPosition();
    return p;
}

// One list at 1x (forward) or -1x (reverse) from a position whose port
// and movie positions are equal.
void Forward(CStateWindow& w, std::int32_t from) {
    std::vector<StateEntry*> l;
    w.CreateForward(Playing(1.0f, false, 1), {from, from}, 0, 100000, 1.0, &l);
}
void Reverse(CStateWindow& w, std::int32_t from) {
    std::vector<StateEntry*> l;
    w.CreateReverse(Playing(-1.0f, false, 1), {from, from}, -100000, 100000, 1.0, &l);
}

// Regression for the undo record that replaced the window's copy per
// change: whatever a change does to the window, Undo puts back exactly the
// entries, their order and positions, and the last list position; entries
// that left the window keep their files referenced until the record ends.
TEST(StateWindowTest, UndoPutsBackWhatEveryKindOfChangeDid) {
    struct Row {
        const char* name;
        void (*change)(CStateWindow&);
    } rows[] = {
        {"forward list appended", [](CStateWindow& w) { Forward(w, 255); }},
        {"forward past 512 drops the oldest",
         [](CStateWindow& w) {
             Forward(w, 255);
             Forward(w, 510);
         }},
        {"reverse list prepended, newest dropped",
         [](CStateWindow& w) {
             Reverse(w, 100);
             Reverse(w, -150);
         }},
        {"list outside the window purges it", [](CStateWindow& w) { Forward(w, 9000); }},
        {"clear, then a new list",
         [](CStateWindow& w) {
             w.Clear();
             Forward(w, 40);
         }},
        {"shift erases the first states, then a list",
         [](CStateWindow& w) {
             w.ShiftMovie(-100);
             std::vector<StateEntry*> l;
             w.CreateForward(Playing(1.0f, false, 1), {155, 255}, 0, 100000, 1.0, &l);
         }},
        {"shift erases all", [](CStateWindow& w) { w.ShiftMovie(-100000); }},
        {"reset", [](CStateWindow& w) { w.Reset(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MediaFileInfo file;
        CStateWindow window;
        std::vector<StateEntry*> list;
        window.CreateForward(Playing(1.0f, false, 1), {0, 0}, 0, 100000, 1.0, &list);
        ASSERT_EQ(window.Count(), 256u);
        for (StateEntry* s : list) {
            s->files.Add(&file);
        }
        const Picture before = Take(window);

        window.BeginUndo();
        row.change(window);
        EXPECT_EQ(file.refCount, 256) << "no state that left is gone while recording";
        window.Undo();
        const Picture after = Take(window);
        EXPECT_EQ(after.pairs, before.pairs);
        EXPECT_EQ(after.lastList.movie, before.lastList.movie);
        EXPECT_EQ(after.lastList.port, before.lastList.port);
        EXPECT_EQ(file.refCount, 256);
        EXPECT_FALSE(window.IsRecording());

        // Kept instead: what left the window lets its files go at the end.
        window.BeginUndo();
        row.change(window);
        std::size_t stillThere = 0;
        for (const auto& e : window) {
            stillThere += e->files.Files().size();
        }
        window.EndUndo();
        EXPECT_EQ(file.refCount, static_cast<std::int32_t>(stillThere));
        window.Clear();
        EXPECT_EQ(file.refCount, 0);
    }
}

TEST(StateWindowTest, ChangesOutsideARecordAreNotKept) {
    CStateWindow window;
    std::vector<StateEntry*> list;
    window.CreateForward(Playing(1.0f, false, 1), {0, 0}, 0, 100000, 1.0, &list);
    window.Undo();  // nothing recorded: nothing happens
    EXPECT_EQ(window.Count(), 256u);
    window.BeginUndo();
    window.Clear();
    window.BeginUndo();  // ends the first record, keeping the clear
    window.Undo();
    EXPECT_TRUE(window.Empty());
}

}  // namespace
