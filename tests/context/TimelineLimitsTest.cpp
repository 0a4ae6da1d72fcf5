// The play limits a context gives the RTS and where it holds the position:
// the timeline's bounds, the client's limits, loop playback, a growing
// movie, the movie's repeats and pause points, and a playing context the
// RTS reports at a limit. Expected limits are worked out from the timeline
// length, the limits and the 525-line latencies (record 180 fields, record
// cue 120), and compared with the "ctx " record sent (port positions, no
// offset: the context starts at 0).
#include "server/appserverutil/ChanAccess.h"
#include "tests/context/RecorderFixture.h"

namespace {

using tmstest::Golden;
using tmstest::LoggedSince;
using tmstest::WordAt;

constexpr std::uint32_t kPortStateFlag = 0x0004;
constexpr std::uint32_t kPositionFlag = 0x0008;
constexpr std::uint32_t kSpeedFlag = 0x0100;
constexpr std::uint32_t kStartLimitFlag = 0x200000;
constexpr std::uint32_t kEndLimitFlag = 0x400000;
constexpr std::uint32_t kNone = 0xFFFFFFFF;  // a limit the row does not set
constexpr std::int32_t kUnboundedMin = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kUnboundedMax = 0x7FFFFFFF;
const std::string kPrefix = "    Chan2:Ctx0: ";

// Fields of a sent "ctx " body.
std::uint32_t Flags(const std::vector<BYTE>& ctx) {
    return WordAt(ctx, 4);
}
std::int32_t MinPos(const std::vector<BYTE>& ctx) {
    return static_cast<std::int32_t>(WordAt(ctx, 28));
}
std::int32_t MaxPos(const std::vector<BYTE>& ctx) {
    return static_cast<std::int32_t>(WordAt(ctx, 32));
}
float Speed(const std::vector<BYTE>& ctx) {
    const std::uint32_t bits = WordAt(ctx, 44);
    float speed = 0.0f;
    std::memcpy(&speed, &bits, sizeof speed);
    return speed;
}
std::int32_t EndMode(const std::vector<BYTE>& ctx) {
    return static_cast<std::int32_t>(WordAt(ctx, 36));
}

class TimelineLimitsTest : public tmstest::RecorderFixture {
protected:
    // One change: port state, position, speed, and the limits unless kNone.
    HRESULT Move(std::int32_t state, std::int32_t position, float speed, std::int32_t length,
                 std::uint32_t start = kNone, std::uint32_t end = kNone,
                 std::uint8_t construction = 0) {
        std::uint32_t flags = kPortStateFlag | kPositionFlag | kSpeedFlag;
        flags |= start != kNone ? kStartLimitFlag : 0;
        flags |= end != kNone ? kEndLimitFlag : 0;
        Golden change = Change(flags, state, speed, position, length).U8(105, construction);
        if (start != kNone) {
            change.U32(88, start);
        }
        if (end != kNone) {
            change.U32(92, end);
        }
        return Apply(change);
    }
    std::vector<BYTE> LastContext() {
        const auto sent = ContextsSent();
        return sent.empty() ? std::vector<BYTE>(56) : sent.back();
    }
    bool PauseAtLimitStatus() {
        CVariant v;
        EXPECT_EQ(m_context->StringToStatus("pauseatlimit", v.GetAddress()), S_OK);
        return v.ToBool();
    }
};

TEST_F(TimelineLimitsTest, ThePlayLimitsFollowTheTimelineTheClientAndLoopPlayback) {
    struct Row {
        const char* name;
        bool loopPlayback;
        std::uint8_t construction;
        std::int32_t state;
        float speed;
        std::int32_t length, position;
        std::uint32_t start, end;
        std::int32_t min, max;
    } rows[] = {
        {"length 0", false, 0, TmsCuePlay, 0.0f, 0, 0, kNone, kNone, 0, 0},
        {"limits 100 to 500", false, 0, TmsShuttlePlay, 1.0f, 1000, 200, 100, 500, 100, 500},
        {"loop playback at 1.0", true, 0, TmsShuttlePlay, 1.0f, 1000, 200, kNone, kNone,
         kUnboundedMin, kUnboundedMax},
        {"loop playback at -1.0", true, 0, TmsShuttlePlay, -1.0f, 1000, 200, kNone, kNone,
         kUnboundedMin, kUnboundedMax},
        {"loop playback at 2.0", true, 0, TmsShuttlePlay, 2.0f, 1000, 200, kNone, kNone, 0, 999},
        {"loop playback on a growing movie: what is recorded, less the record latency", true, 1,
         TmsShuttlePlay, 1.0f, 1000, 200, kNone, kNone, 0, 999 - 180},
        {"no end limit", false, 0, TmsShuttlePlay, 1.0f, 1000, 200, kNone, 0x7FFFFFFF, 0,
         kUnboundedMax},
        {"no start limit", false, 0, TmsShuttlePlay, 1.0f, 1000, 200, 0x80000000u, kNone,
         kUnboundedMin, 999},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        m_channel.loopPlayback = row.loopPlayback;
        ASSERT_EQ(Move(row.state, row.position, row.speed, row.length, row.start, row.end,
                       row.construction),
                  S_OK);
        const std::vector<BYTE> ctx = LastContext();
        EXPECT_EQ(MinPos(ctx), row.min);
        EXPECT_EQ(MaxPos(ctx), row.max);
        EXPECT_EQ(Flags(ctx) & 0x0002u, 0u) << "no pause point";
    }
}

TEST_F(TimelineLimitsTest, APositionOutsideTheLimitsIsForcedBackWithItsTrace) {
    struct Row {
        const char* name;
        std::uint8_t construction;
        std::int32_t position;
        std::uint32_t start;
        std::int32_t forced;
        const char* trace;
    } rows[] = {
        {"below the start limit", 0, 50, 100, 100, "Forcing pos 50 to minPos 100"},
        // 999 less the record latency (180) and the record cue latency (120).
        {"past what a growing movie has recorded", 1, 900, kNone, 699,
         "Forcing pos 900 to maxCuePos 699"},
        {"inside", 0, 500, 100, 500, nullptr},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Move(TmsCuePlay, row.position, 0.0f, 1000, row.start, kNone, row.construction),
                  S_OK);
        const std::vector<BYTE> ctx = LastContext();
        EXPECT_EQ(static_cast<std::int32_t>(WordAt(ctx, 24)), row.forced);
        if (row.trace != nullptr) {
            EXPECT_TRUE(LoggedSince(seen, kPrefix + row.trace));
        } else {
            EXPECT_FALSE(LoggedSince(seen, "Forcing pos"));
        }
    }
}

TEST_F(TimelineLimitsTest, AStartLimitPastAShortenedTimelineWarnsAndHoldsAtItsLastField) {
    ASSERT_EQ(Move(TmsCuePlay, 600, 0.0f, 1000, 500), S_OK);
    const std::size_t seen = tmstest::ReadLog().size();
    // The timeline is now 300 long; the kept start limit lies past it.
    ASSERT_EQ(Apply(Change(kPositionFlag, 0, 0.0f, 0, 300)), S_OK);
    EXPECT_TRUE(LoggedSince(seen, "Warning, state bounds are reversed: 500 - 299"));
    const std::vector<BYTE> ctx = LastContext();
    EXPECT_EQ(MinPos(ctx), 299);
    EXPECT_EQ(MaxPos(ctx), 299);
}

TEST_F(TimelineLimitsTest, RepeatsOfTheMovieLoopItsStatesAtPlaySpeedAndBoundThemFaster) {
    struct Row {
        const char* name;
        bool editRepeat, movieRepeat, listRepeats;
        float speed;
        std::int32_t min, max;
    } rows[] = {
        {"edit repeat at 1.0: unbounded", true, false, true, 1.0f, kUnboundedMin, kUnboundedMax},
        {"edit repeat at 2.0: the edit's bounds", true, false, true, 2.0f, 200, 299},
        {"movie repeat at 1.0: unbounded", false, true, true, 1.0f, kUnboundedMin, kUnboundedMax},
        {"movie repeat at 2.0: the movie", false, true, true, 2.0f, 0, 999},
        {"list repeats off", true, true, false, 1.0f, 0, 999},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        SetActive(true);
        m_channel.settings.listRepeats = row.listRepeats;
        AppendVideo(1, 1000);
        CBstr edit;
        ASSERT_EQ(
            m_movie->AddEdit(200, 100, CBstr("looped"), row.editRepeat ? TRUE : FALSE, -1, &edit),
            S_OK);
        ASSERT_EQ(m_movie->SetProperty(CBstr("repeat"), CVariant(row.movieRepeat).GetVARIANT()),
                  S_OK);
        ASSERT_EQ(Move(TmsShuttlePlay, 250, row.speed, 1000), S_OK);
        const std::vector<BYTE> ctx = LastContext();
        EXPECT_EQ(MinPos(ctx), row.min);
        EXPECT_EQ(MaxPos(ctx), row.max);
    }
}

TEST_F(TimelineLimitsTest, APausePointBoundsThePlayAndSetsTheEndModeOfItsMode) {
    // Modes 0 to 4 and their end modes: Freeze, EE, Black, Default, Freeze.
    // Mode 4 holds on the field after the pause.
    struct Row {
        std::int32_t mode;
        bool listPauses;
        std::int32_t endMode;
        std::int32_t beyond;  // fields past the pause point the maximum lies
    } rows[] = {{0, true, TmsStopFreeze, 0}, {1, true, TmsStopEE, 0},
                {2, true, TmsStopBlack, 0},  {3, true, TmsStopDefault, 0},
                {4, true, TmsStopFreeze, 1}, {2, false, TmsStopDefault, -1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.mode) + (row.listPauses ? "" : ", list pauses off"));
        NewContext(("pause" + std::to_string(row.mode) + (row.listPauses ? "" : "off")).c_str());
        SetActive(true);
        m_channel.settings.listPauses = row.listPauses;
        AppendVideo(1, 1000);
        CBstr edit;
        ASSERT_EQ(m_movie->AddEdit(0, 300, CBstr("paused"), FALSE, row.mode, &edit), S_OK);
        long pause = -1, mode = -1;
        ASSERT_EQ(m_movie->GetNextPause(100, 300, &pause, &mode), S_OK);
        ASSERT_EQ(Move(TmsShuttlePlay, 100, 1.0f, 1000), S_OK);
        const std::vector<BYTE> ctx = LastContext();
        if (row.beyond < 0) {
            EXPECT_EQ(MaxPos(ctx), 999);
            EXPECT_EQ(Flags(ctx) & 0x0002u, 0u);
            EXPECT_FALSE(PauseAtLimitStatus());
        } else {
            EXPECT_EQ(MaxPos(ctx), pause + row.beyond);
            EXPECT_EQ(Flags(ctx) & 0x0022u, 0x0022u) << "maximum, a pause point";
            EXPECT_TRUE(PauseAtLimitStatus());
        }
        EXPECT_EQ(EndMode(ctx), row.endMode);
    }
}

TEST_F(TimelineLimitsTest, AutoStopHoldsAPlayingContextTheRtsReportsAtALimit) {
    struct Row {
        const char* name;
        bool autoStop;
        bool active;
        bool held;
    } rows[] = {
        {"auto stop", true, true, true},
        {"auto stop off", false, true, false},
        {"not the RTS's active context", true, false, false},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        SetActive(row.active);
        m_channel.settings.autoStop = row.autoStop;
        AppendVideo(1, 1000);
        ASSERT_EQ(Move(TmsShuttlePlay, 900, 1.0f, 1000), S_OK);
        const std::size_t sent = m_channel.messages.size();
        const std::size_t seen = tmstest::ReadLog().size();
        // The RTS stopped at the maximum (trigger status 4), still at 1.0x.
        ASSERT_EQ(Update(TmsTriggerEnded, TmsShuttlePlay, 999, 1.0f), S_OK);
        bool atLimit = false;
        const auto contexts = ContextsSent();
        for (std::size_t i = 0; i < contexts.size(); ++i) {
            atLimit = atLimit || (Flags(contexts[i]) & 0x1000u) != 0;
        }
        EXPECT_EQ(atLimit, row.held);
        EXPECT_EQ(LoggedSince(seen, kPrefix + "atLimit speed=0.00 pos=999(999)"), row.held);
        if (!row.held) {
            EXPECT_LE(m_channel.messages.size(), sent + 1) << "at most the refresh";
        }
    }
}

}  // namespace

namespace {

TEST_F(TimelineLimitsTest, AContextHeldAtAPauseParksThereAndPlayGoesOnToTheNextLimit) {
    SetActive(true);
    AppendVideo(1, 1000);
    CBstr edit;
    ASSERT_EQ(m_movie->AddEdit(0, 300, CBstr("paused"), FALSE, 0, &edit), S_OK);
    long pause = -1, mode = -1;
    ASSERT_EQ(m_movie->GetNextPause(100, 300, &pause, &mode), S_OK);
    ASSERT_EQ(Move(TmsShuttlePlay, 100, 1.0f, 1000), S_OK);
    ASSERT_EQ(MaxPos(LastContext()), pause);

    // The RTS holds at the pause point: the context holds it there.
    const std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(Update(TmsTriggerEnded, TmsShuttlePlay, pause, 1.0f), S_OK);
    const std::string word =
        "pause speed=0.00 pos=" + std::to_string(pause) + "(" + std::to_string(pause) + ")";
    EXPECT_TRUE(LoggedSince(seen, kPrefix + word));
    const std::vector<BYTE> held = LastContext();
    EXPECT_NE(Flags(held) & 0x1000u, 0u) << "held at the limit";
    // Parked on the pause point: the next limit is searched from the field
    // after it, and there is none, so the limit is the timeline's end while
    // the port stands still; the end mode the pause set stays.
    EXPECT_FALSE(PauseAtLimitStatus());
    EXPECT_EQ(MaxPos(held), 999);
    EXPECT_EQ(EndMode(held), TmsStopFreeze);

    // Play again from where it stands.
    ASSERT_EQ(Apply(Change(kSpeedFlag, 0, 1.0f, 0, 1000)), S_OK);
    const std::vector<BYTE> ctx = LastContext();
    EXPECT_EQ(Flags(ctx) & kPositionFlag, 0u);
    EXPECT_EQ(static_cast<std::int32_t>(WordAt(ctx, 24)), pause);
    EXPECT_EQ(MaxPos(ctx), 999);
    EXPECT_FLOAT_EQ(Speed(ctx), 1.0f);
}

// The four limit texts of the context region: 36 wide characters each from
// 0x153EA, 0x48 bytes apart.
constexpr std::size_t kLimitTextOffsets[] = {0x153EA, 0x15432, 0x1547A, 0x154C2};

// text as 36 wide characters (ASCII), zero after it.
std::vector<std::uint8_t> WideSlot(const std::string& text) {
    std::vector<std::uint8_t> slot(72, 0);
    for (std::size_t i = 0; i < text.size() && i < 36; ++i) {
        slot[2 * i] = static_cast<std::uint8_t>(text[i]);
    }
    return slot;
}

TEST_F(TimelineLimitsTest, LimitTextsPublishNamesCutToTheirFieldAndUuidsWhole) {
    SetActive(true);
    AppendVideo(1, 1000);
    const std::string longName = "The section name of forty characters, long";  // 42
    CBstr section, edit;
    ASSERT_EQ(m_movie->AddSection(0, 500, CBstr(longName), &section), S_OK);
    ASSERT_EQ(m_movie->AddEdit(0, 300, CBstr("Opening"), FALSE, -1, &edit), S_OK);
    const std::string sectionUuid = section.ToUtf8();
    const std::string editUuid = edit.ToUtf8();
    ASSERT_EQ(sectionUuid.size(), 38u) << sectionUuid;
    ASSERT_EQ(sectionUuid.front(), '{');
    ASSERT_EQ(editUuid.size(), 38u) << editUuid;
    ASSERT_EQ(Move(TmsShuttlePlay, 100, 1.0f, 1000), S_OK);

    CChanAccess access(1);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    {
        CStatusFileLock file(&access);
        ASSERT_TRUE(file.Acquired());
        ASSERT_EQ(m_context->PublishStatus(file, access, true), S_OK);
    }
    const std::uint8_t* block = access.StatusBlock();
    const std::vector<std::uint8_t> expected[] = {
        WideSlot(longName.substr(0, 35)),  // cut: 35 and a terminator
        WideSlot("Opening"),
        WideSlot(sectionUuid.substr(1, 36)),  // no braces: fills the 36
        WideSlot(editUuid.substr(1, 36)),
    };
    for (std::size_t t = 0; t < 4; ++t) {
        SCOPED_TRACE(t);
        const std::vector<std::uint8_t> got(block + kLimitTextOffsets[t],
                                            block + kLimitTextOffsets[t] + 72);
        EXPECT_EQ(got, expected[t]);
    }
    // The mark-in text follows the last uuid without a gap.
    EXPECT_NE(block[0x1550A - 2], 0) << "the edit uuid's last character";
}

}  // namespace
