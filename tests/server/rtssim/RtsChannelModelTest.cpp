#include <gtest/gtest.h>

#include <fstream>

#include "server/rtssim/RtsChannelModel.h"
#include "server/rtssim/RtsSimConfig.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

RtsSimChannel Config() {
    RtsSimChannel c;
    c.index = 0;
    c.id = "Chan1";
    c.fieldsPerSecond = 60000.0 / 1001.0;
    c.audioCount = 2;
    return c;
}

RtsMessage State(std::int32_t context, std::int32_t portState, std::int32_t position, float speed) {
    RtsMessage m;
    m.form = RtsFourCc("sbuf");
    m.hasCtx = true;
    m.ctx.context = context;
    m.ctx.flags = kCtxPortState | kCtxPosition | kCtxSpeed;
    m.ctx.portState = portState;
    m.ctx.position = position;
    m.ctx.speed = speed;
    return m;
}

CRtsChannelModel OpenModel() {
    CRtsChannelModel model(Config());
    RtsMessage open;
    open.form = RtsFourCc("open");
    model.Apply(open);
    return model;
}

TEST(RtsChannelModelTest, CueHoldsIdleReleasesAndDefaultsApply) {
    CRtsChannelModel model = OpenModel();
    model.Apply(State(0, TmsCuePlay, 300, 1.0f));
    model.Advance(20);
    EXPECT_EQ(model.ContextAt(0).position, 300);

    RtsMessage defaults;
    defaults.form = RtsFourCc("sbuf");
    defaults.hasCtx = true;
    defaults.ctx.context = -1;
    defaults.ctx.flags = kCtxEndMode | kCtxIdleMode;
    defaults.ctx.endMode = TmsStopBlack;
    defaults.ctx.idleMode = TmsStopEE;
    model.Apply(defaults);
    EXPECT_EQ(model.ContextAt(3).endMode, TmsStopBlack);
    EXPECT_EQ(model.ContextAt(3).idleMode, TmsStopEE);

    model.Apply(State(0, TmsIdle, 300, 0.0f));
    EXPECT_EQ(model.ActiveContext(), -1);
    RtsChannelBlock block{};
    model.Publish(block);
    EXPECT_EQ(block.contexts[0].portState, TmsIdle);
    EXPECT_EQ(block.contexts[0].idleMode, TmsStopEE);
}

TEST(RtsChannelModelTest, GpiOutputsChangeWhenThePositionPasses) {
    CRtsChannelModel model = OpenModel();
    RtsMessage m = State(0, TmsShuttlePlay, 0, 1.0f);
    m.gpiStates = {{10, 0x1}, {20, 0x3}};
    model.Apply(m);
    model.Advance(9);
    EXPECT_EQ(model.GpiOutputs(), 0u);
    model.Advance(1);
    EXPECT_EQ(model.GpiOutputs(), 0x1u);
    model.Advance(15);
    EXPECT_EQ(model.GpiOutputs(), 0x3u);

    model.SetGpiInput(3, true);
    model.SetGpiInput(40, true);  // out of range: ignored
    EXPECT_EQ(model.GpiInputs(), 0x8u);
}

// The tick at which each GPI state fires, as the fired log keeps it: the
// move starts at tick 0 from position 100.
TEST(RtsChannelModelTest, GpiStatesFireOnTheTickThePositionReachesThem) {
    struct Case {
        const char* what;
        std::int32_t portState;
        float speed;
        std::vector<RtsGpiState> states;
        std::uint32_t ticks;
        std::vector<CRtsChannelModel::GpiFired> fired;
    };
    const Case cases[] = {
        {"play: the start field on the first tick, later ones as reached",
         TmsShuttlePlay,
         1.0f,
         {{100, 0x1}, {104, 0x2}, {130, 0x4}},
         10,
         {{1, 100, 0x1}, {4, 104, 0x2}}},
        {"2x: a state between two fields a tick apart fires on the tick passing it",
         TmsShuttlePlay,
         2.0f,
         {{100, 0x1}, {103, 0x2}, {108, 0x4}},
         4,
         {{1, 100, 0x1}, {2, 103, 0x2}, {4, 108, 0x4}}},
        {"reverse: passed going down",
         TmsShuttlePlay,
         -1.0f,
         {{98, 0x8}, {101, 0x1}},
         5,
         {{2, 98, 0x8}}},
        {"cued: nothing fires", TmsCuePlay, 0.0f, {{100, 0x1}}, 10, {}},
        {"stopped in play: nothing fires", TmsShuttlePlay, 0.0f, {{100, 0x1}}, 10, {}},
        {"a state behind the start never fires", TmsShuttlePlay, 1.0f, {{99, 0x1}}, 10, {}},
        // A record's position is the last field recorded: the start field
        // on the first tick.
        {"record: fires as its position reaches the state",
         TmsShuttleRecord,
         1.0f,
         {{102, 0x10}},
         3,
         {{3, 102, 0x10}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRtsChannelModel model = OpenModel();
        RtsMessage m = State(0, c.portState, 100, c.speed);
        m.gpiStates = c.states;
        model.Apply(m);
        for (std::uint32_t i = 0; i < c.ticks; ++i) {
            model.Advance(1);
        }
        const auto& log = model.GpiFiredLog();
        ASSERT_EQ(log.size(), c.fired.size());
        for (std::size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].tick, c.fired[i].tick) << i;
            EXPECT_EQ(log[i].position, c.fired[i].position) << i;
            EXPECT_EQ(log[i].mask, c.fired[i].mask) << i;
        }
        EXPECT_EQ(model.GpiFiredCount(), c.fired.size());
    }
}

TEST(RtsChannelModelTest, APurgeDropsWaitingGpiStatesAndANewListAddsToThem) {
    CRtsChannelModel model = OpenModel();
    RtsMessage cue = State(0, TmsCuePlay, 0, 0.0f);
    cue.gpiStates = {{10, 0x1}, {20, 0x2}};
    model.Apply(cue);
    // More states without a purge: they join; the one at 20 is replaced.
    RtsMessage more = State(0, TmsCuePlay, 0, 0.0f);
    more.ctx.flags = 0;
    more.gpiStates = {{20, 0x6}, {30, 0x8}};
    model.Apply(more);
    RtsMessage play = State(0, TmsShuttlePlay, 0, 1.0f);
    play.ctx.flags = kCtxPortState | kCtxSpeed;
    model.Apply(play);
    for (int i = 0; i < 25; ++i) {
        model.Advance(1);
    }
    EXPECT_EQ(model.GpiFiredText(),
              "gpifired 2: tick 10 position 10 mask 0x1; tick 20 position 20 mask 0x6");
    RtsMessage purge = State(0, TmsShuttlePlay, 25, 1.0f);
    purge.ctx.flags |= kCtxPurge;
    model.Apply(purge);
    for (int i = 0; i < 10; ++i) {
        model.Advance(1);
    }
    EXPECT_EQ(model.GpiFiredCount(), 2u) << "the state at 30 went with the purge";
    EXPECT_EQ(model.GpiOutputs(), 0x6u);
}

TEST(RtsChannelModelTest, TheGpiFiredLogKeepsTheLastEightAndCountsThemAll) {
    CRtsChannelModel model = OpenModel();
    RtsMessage m = State(0, TmsShuttlePlay, 0, 1.0f);
    for (std::int32_t p = 1; p <= 10; ++p) {
        m.gpiStates.push_back({p, static_cast<std::uint32_t>(p)});
    }
    model.Apply(m);
    for (int i = 0; i < 12; ++i) {
        model.Advance(1);
    }
    ASSERT_EQ(model.GpiFiredLog().size(), CRtsChannelModel::kGpiFiredKept);
    EXPECT_EQ(model.GpiFiredLog().front().position, 3);
    EXPECT_EQ(model.GpiFiredCount(), 10u);
    // The control answer stays within the control port's 512 bytes.
    EXPECT_LT(model.GpiFiredText().size(), 512u);
    model.ClearGpiFiredLog();
    EXPECT_EQ(model.GpiFiredText(), "gpifired 0");
}

TEST(RtsChannelModelTest, AncillaryPacketsCountWhileAFileStatePlays) {
    CRtsChannelModel model = OpenModel();
    RtsMessage m = State(0, TmsCuePlay, 0, 0.0f);
    m.ancSpans = {{5, 9}};
    model.Apply(m);
    RtsChannelBlock block{};
    for (int i = 0; i < 3; ++i) {
        model.Advance(1);
    }
    model.Publish(block);
    EXPECT_EQ(block.ancData.packetCount, 0u) << "cued: nothing plays";
    EXPECT_EQ(block.ancData.present, 0);
    RtsMessage play = State(0, TmsShuttlePlay, 0, 1.0f);
    play.ctx.flags = kCtxPortState | kCtxSpeed;
    model.Apply(play);
    std::vector<std::uint32_t> counts;
    std::vector<int> present;
    for (int i = 0; i < 12; ++i) {
        model.Advance(1);
        model.Publish(block);
        counts.push_back(block.ancData.packetCount);
        present.push_back(block.ancData.present);
    }
    // Positions 1..12: 5 to 9 carry ancillary data.
    EXPECT_EQ(counts, (std::vector<std::uint32_t>{0, 0, 0, 0, 1, 2, 3, 4, 5, 5, 5, 5}));
    EXPECT_EQ(present, (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0}));
}

TEST(RtsSimConfigTest, FieldRatesFromFormatNames) {
    struct Case {
        const char* name;
        double fields;
    } cases[] = {
        {"Format525_60Hz_2To1", 60000.0 / 1001.0},
        {"Format625_50Hz_2To1", 50.0},
        {"Format1080_59_94Hz_2To1", 59.94},
        {"Format720p_50Hz", 50.0},
        {"Format1080p_24Hz", 24000.0 / 1001.0},
        {"FormatUnknown", 0.0},
        {"", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(FieldsPerSecondOf(c.name), c.fields, 1e-6);
    }
}

TEST(RtsSimConfigTest, ADoctypeInTheSystemFileIsRefusedNamingFileAndLine) {
    tmstest::TestRuntimeDir dir;
    const std::string path = dir.Path() + "/system.xml";
    std::ofstream(path) << "<?xml version=\"1.0\"?>\n<!DOCTYPE Config [<!ENTITY e SYSTEM "
                           "\"file:///etc/passwd\">]>\n<Config><Channel channelIndex=\"0\" "
                           "id=\"&e;\"/></Config>\n";
    std::vector<RtsSimChannel> channels;
    std::string error;
    EXPECT_FALSE(ReadRtsSimConfig(path, &channels, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("DOCTYPE"), std::string::npos) << error;
    EXPECT_NE(error.find("at line 2"), std::string::npos) << error;
    EXPECT_TRUE(channels.empty());
}

TEST(RtsSimConfigTest, ValuesOfTheWrongTypeRefuseTheFileInsteadOfEndingTheSimulator) {
    tmstest::TestRuntimeDir dir;
    const std::string path = dir.Path() + "/system.xml";
    const std::pair<const char*, const char*> rows[] = {
        {"<Config><Channel channelIndex=\"one\" id=\"Chan1\"/></Config>", "'one'"},
        {"<Config><Channel channelIndex=\"0\" id=\"Chan1\"><Video><VideoInputComponent "
         "id=\"a'b\"/></Video></Channel></Config>",
         "a'b"},
    };
    for (const auto& [text, says] : rows) {
        SCOPED_TRACE(text);
        std::ofstream(path, std::ios::trunc) << text;
        std::vector<RtsSimChannel> channels;
        std::string error;
        EXPECT_FALSE(ReadRtsSimConfig(path, &channels, &error));
        EXPECT_NE(error.find(path + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(says), std::string::npos) << error;
        EXPECT_TRUE(channels.empty());
    }
}

}  // namespace

namespace {

// Channel 0 with two audio paths and a timecode path, as a client's "open"
// carries it.
std::string SignalsConfig(const char* genMode, const char* input, const char* gain1) {
    return std::string(
               "<Config><AudioInput id=\"I0\" gain=\"4096\"/><AudioOutput id=\"O0\" "
               "gain=\"2048\"/><AudioInput id=\"I1\" gain=\"") +
           gain1 + "\"/><TcGenerator id=\"G\" genMode=\"" + genMode +
           "\" genFixedTimecode=\"16777216\"/><TcCodec id=\"C\" currentTcInput=\"" + input +
           "\"/><Channel channelIndex=\"0\"><Audio index=\"0\"><AudioInputComponent id=\"I0\"/>"
           "<AudioOutputComponent id=\"O0\"/></Audio><Audio index=\"1\"><AudioInputComponent "
           "id=\"I1\"/></Audio><Timecode index=\"0\"><TcGeneratorComponent id=\"G\"/>"
           "<TcCodecComponent id=\"C\"/></Timecode></Channel></Config>";
}

// What the model publishes now (the block holds atomics: it is not copied).
struct Published {
    explicit Published(const CRtsChannelModel& model) { model.Publish(block); }
    RtsChannelBlock block{};
};

}  // namespace

TEST(RtsChannelModelTest, AudioPathsReportTheGainsTheyWereSentAndSoundOnlyWhereAFilePlays) {
    CRtsChannelModel model(Config());
    RtsMessage open;
    open.form = RtsFourCc("open");
    open.configText = SignalsConfig("FreeRun", "Internal", "1000");
    model.Apply(open);
    {
        const Published p(model);
        EXPECT_EQ(p.block.audio[0].gainLeft, 4096);
        EXPECT_EQ(p.block.audio[0].gainRight, 2048);
        EXPECT_EQ(p.block.audio[1].gainLeft, 1000);
        EXPECT_EQ(p.block.audio[1].gainRight, 4096) << "no output component: unity";
        EXPECT_EQ(p.block.audio[0].level, 0u) << "nothing plays";
    }

    // Path 0 plays a file, path 1 black.
    RtsMessage play = State(0, TmsShuttlePlay, 0, 1.0f);
    play.hasResourceLists = true;
    play.audioWithMedia = {true, false};
    model.Apply(play);
    for (int field = 0; field < 240; field += 37) {
        SCOPED_TRACE(field);
        model.Advance(37);
        const Published p(model);
        // Between -30 and -6 dBFS: 32767 x 10^((dB - 24) / 20).
        EXPECT_GE(p.block.audio[0].level, 65u);
        EXPECT_LE(p.block.audio[0].level, 1037u);
        EXPECT_EQ(p.block.audio[1].level, 0u);
    }

    // A configuration that does not read keeps the gains.
    RtsMessage broken;
    broken.form = RtsFourCc("rfsh");
    broken.configText = "<Config><Channel";
    model.Apply(broken);
    EXPECT_EQ(Published(model).block.audio[1].gainLeft, 1000);
    RtsMessage refresh;
    refresh.form = RtsFourCc("rfsh");
    refresh.configText = SignalsConfig("FreeRun", "Internal", "2052");
    model.Apply(refresh);
    EXPECT_EQ(Published(model).block.audio[1].gainLeft, 2052);

    EXPECT_TRUE(model.SetAudioError(1, 0x8004));
    EXPECT_FALSE(model.SetAudioError(2, 1)) << "the channel has two paths";
    EXPECT_FALSE(model.SetAudioError(-1, 1));
    const Published p(model);
    EXPECT_EQ(p.block.audio[0].errorCode, 0u);
    EXPECT_EQ(p.block.audio[1].errorCode, 0x8004u);
}

TEST(RtsChannelModelTest, TheGeneratorRunsInItsModeAndTheReaderFollowsThePlayedMaterial) {
    struct Row {
        const char* mode;
        const char* input;
        std::uint32_t after0, after60;  // word 13 after 0 and 60 fields
    } rows[] = {
        // 01:00:00:00; 60 fields are one second at 30 frames.
        {"FixedStart", "Internal", 0x01000000u, 0x01000000u},
        {"FreeRun", "Internal", 0x01000000u, 0x01000100u},
        {"TimeOfDay", "Internal", 0x0A0B0C0Du, 0x0A0B0C0Du},
        {"ClockWatcher", "Internal", 0x0A0B0C0Du, 0x0A0B0C0Du},
        // The reader: nothing plays, no timecode.
        {"FreeRun", "Ltc", 0x80000000u, 0x80000000u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " " + row.input);
        CRtsChannelModel model(Config());
        model.SetTimeOfDay(0x0A0B0C0Du);
        RtsMessage open;
        open.form = RtsFourCc("open");
        open.configText = SignalsConfig(row.mode, row.input, "4096");
        model.Apply(open);
        EXPECT_EQ(Published(model).block.timecode.currentTimecode, row.after0);
        model.Advance(60);
        EXPECT_EQ(Published(model).block.timecode.currentTimecode, row.after60);
    }

    // Reading a file whose timecode state starts at port 100 with media
    // position 1800 (00:00:30:00); black from port 200 on.
    CRtsChannelModel model(Config());
    RtsMessage open;
    open.form = RtsFourCc("open");
    open.configText = SignalsConfig("FreeRun", "Vitc", "4096");
    model.Apply(open);
    RtsMessage play = State(0, TmsShuttlePlay, 100, 1.0f);
    play.hasResourceLists = true;
    play.timecodeStates = {{100, 5, 1800}, {200, 0, 0}};
    model.Apply(play);
    EXPECT_EQ(Published(model).block.timecode.currentTimecode, 0x00001E00u);
    model.Advance(62);
    EXPECT_EQ(Published(model).block.timecode.currentTimecode, 0x00001F01u) << "31 frames on";
    EXPECT_EQ(Published(model).block.timecode.word20 & 0x80000000u, 0u) << "the generator runs on";
    model.Advance(40);
    EXPECT_EQ(Published(model).block.timecode.currentTimecode, 0x80000000u) << "black: no timecode";
    EXPECT_EQ(Published(model).block.timecode.recordCaptured, 0) << "no record";
}

TEST(RtsChannelModelTest, ARecordCapturesTheTimecodeItStartsAtForAsLongAsItRuns) {
    CRtsChannelModel model(Config());
    RtsMessage open;
    open.form = RtsFourCc("open");
    open.configText = SignalsConfig("FixedStart", "Internal", "4096");
    model.Apply(open);
    model.Apply(State(1, TmsCueRecord, 500, 0.0f));
    EXPECT_EQ(Published(model).block.timecode.recordCaptured, 0) << "cued, not recording";
    model.Apply(State(1, TmsShuttleRecord, 500, 1.0f));
    model.Advance(30);
    {
        const Published p(model);
        EXPECT_EQ(p.block.timecode.recordCaptured, 1);
        EXPECT_EQ(p.block.timecode.recordTimecode, 0x01000000u);
        EXPECT_EQ(p.block.timecode.recordPosition, 500);
    }
    model.Apply(State(1, TmsIdle, 530, 0.0f));
    EXPECT_EQ(Published(model).block.timecode.recordCaptured, 0);
}

// A play held at its limit reports trigger 4; a client that moves it on in
// the same port state sends no port state, and must see it run again.
TEST(RtsChannelModelTest, AResumedPlayAtItsLimitRunsAgainInsteadOfStayingEnded) {
    struct Case {
        const char* what;
        std::uint32_t flags;
        std::int32_t position;
        float speed;
        std::int32_t trigger;
        double positionAfter;  // three fields later
    };
    const Case cases[] = {
        {"position and speed", kCtxPosition | kCtxSpeed, 0, 1.0f, TmsTriggerRunning, 3},
        {"position only: the speed it was held with", kCtxPosition, 0, 0.0f, TmsTriggerRunning, 3},
        {"reverse speed only", kCtxSpeed, 0, -1.0f, TmsTriggerRunning, 2},
        {"speed 0 only: still held", kCtxSpeed, 0, 0.0f, TmsTriggerEnded, 5},
        {"held at limit with a position", kCtxPosition | kCtxSpeed | kCtxHeldAtLimit, 0, 0.0f,
         TmsTriggerEnded, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRtsChannelModel model = OpenModel();
        RtsMessage play = State(0, TmsShuttlePlay, 0, 1.0f);
        play.ctx.flags |= kCtxMaxPosition;
        play.ctx.maxPosition = 5;
        model.Apply(play);
        model.Advance(10);
        ASSERT_EQ(model.ContextAt(0).trigger, TmsTriggerEnded);
        ASSERT_EQ(model.ContextAt(0).position, 5);

        RtsMessage again = State(0, TmsShuttlePlay, c.position, c.speed);
        again.ctx.flags = c.flags;
        model.Apply(again);
        EXPECT_EQ(model.ContextAt(0).trigger, c.trigger);
        model.Advance(3);
        EXPECT_EQ(model.ContextAt(0).position, c.positionAfter);
    }
    // An idle context stays ended whatever moves it.
    CRtsChannelModel model = OpenModel();
    model.Apply(State(0, TmsIdle, 0, 0.0f));
    RtsMessage move = State(0, TmsIdle, 10, 1.0f);
    move.ctx.flags = kCtxPosition | kCtxSpeed;
    model.Apply(move);
    EXPECT_EQ(model.ContextAt(0).trigger, TmsTriggerEnded);
}

TEST(RtsChannelModelTest, AncillaryDataIsNoLongerPresentOnceTheActiveContextGoesIdle) {
    CRtsChannelModel model = OpenModel();
    RtsMessage play = State(0, TmsShuttlePlay, 0, 1.0f);
    play.ancSpans = {{0, 100}};
    model.Apply(play);
    model.Advance(2);
    ASSERT_TRUE(model.AncPresent());
    model.Apply(State(0, TmsIdle, 2, 0.0f));
    model.Advance(1);
    EXPECT_FALSE(model.AncPresent());
    RtsChannelBlock block{};
    model.Publish(block);
    EXPECT_EQ(block.ancData.present, 0);
}

// Context 0 plays from 100 for three fields; then a new move starts at
// `start` with a GPI state there, which fires on the new move's first tick.
TEST(RtsChannelModelTest, AGpiStateAtTheStartOfANewMoveFiresAfterIdleASwitchOrAJump) {
    struct Case {
        const char* what;
        bool idleFirst;
        RtsMessage (*next)();
        std::int32_t start;
    };
    const Case cases[] = {
        {"play, idle, play on from where it stood", true,
         [] {
             RtsMessage m = State(0, TmsShuttlePlay, 0, 1.0f);
             m.ctx.flags = kCtxPortState | kCtxSpeed;
             return m;
         },
         103},
        {"another context plays", false, [] { return State(1, TmsShuttlePlay, 200, 1.0f); }, 200},
        {"the same context jumps", false,
         [] {
             RtsMessage m = State(0, TmsShuttlePlay, 50, 1.0f);
             m.ctx.flags = kCtxPosition;
             return m;
         },
         50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRtsChannelModel model = OpenModel();
        model.Apply(State(0, TmsShuttlePlay, 100, 1.0f));
        model.Advance(3);
        if (c.idleFirst) {
            model.Apply(State(0, TmsIdle, 103, 0.0f));
            model.Advance(1);
        }
        RtsMessage next = c.next();
        next.gpiStates = {{c.start, 0x2}};
        model.Apply(next);
        model.Advance(1);
        ASSERT_EQ(model.GpiFiredCount(), 1u);
        EXPECT_EQ(model.GpiFiredLog().back().position, c.start);
        EXPECT_EQ(model.GpiOutputs(), 0x2u);
    }
}
