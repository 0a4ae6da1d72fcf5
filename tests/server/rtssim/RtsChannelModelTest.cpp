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
