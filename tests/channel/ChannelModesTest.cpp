// The settings that reach the RTS without a context: E-to-E set again to
// the value it has, idle modes on a board without E-to-E, and each GPI
// trigger action; and the broker's IsPlaying once the port plays.
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "server/appserverutil/ChanAccess.h"
#include "server/configmgr/SystemConfigFile.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"

namespace {

using namespace std::chrono_literals;
using Edits = std::vector<std::pair<std::string, std::string>>;

rts::PortContextRecord ContextOf(const tmstest::DumpedMessage& m) {
    return m.ChunkAs<rts::PortContextRecord>(rts::kChunkContext);
}

rts::ScheduleRecord ScheduleOf(const tmstest::DumpedMessage& m) {
    return m.ChunkAs<rts::ScheduleRecord>(rts::kChunkSchedule);
}

// The default context's idle-mode messages (context -1, flags 0x81).
std::vector<std::int32_t> IdleModesSent(const std::vector<tmstest::DumpedMessage>& messages) {
    std::vector<std::int32_t> out;
    for (const auto& m : messages) {
        if (m.FormName() != "sbuf") {
            continue;
        }
        const rts::PortContextRecord ctx = ContextOf(m);
        if (ctx.contextIndex == -1 && ctx.flags == 0x81u) {
            out.push_back(ctx.idleMode);
        }
    }
    return out;
}

class ChannelModesTest : public tmstest::ChannelFixture {
protected:
    void SetUp() override {
        tmstest::ChannelFixture::SetUp();
        m_original = ConfigText();
        ASSERT_EQ(StartSimulator(), "");
    }
    void Configure(const Edits& edits) {
        std::string text = m_original;
        for (const auto& [from, to] : edits) {
            const std::size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            text.replace(at, from.size(), to);
        }
        std::ofstream(SystemConfigPath(), std::ios::trunc) << text;
    }
    std::string m_original;
};

const char* const kBoard = "<Board id=\"Board0\" slot=\"0\"/>";
const char* const kNoEeBoard = "<Board id=\"Board0\" slot=\"0\"><NoEe/></Board>";

TEST_F(ChannelModesTest, SetEtoEWithItsValueSendsNothingYetPersistsAndStamps) {
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 1), S_OK) << LastErrorText();
    CChanAccess block(1);
    BOOL created = FALSE;
    ASSERT_TRUE(block.Open(&created));
    std::memset(block.StatusBlock() + 0x1A458, 0, 4);
    std::memset(block.StatusBlock() + 0x17664, 0xEE, 1);
    Forget();
    ASSERT_EQ(m_channel->SetEtoE(FALSE), S_OK) << LastErrorText();
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(block.StatusBlock()[0x17664], 0);
    std::uint32_t stamp = 0, master = 0;
    std::memcpy(&stamp, block.StatusBlock() + 0x1A458, 4);
    std::memcpy(&master, block.StatusBlock() + 0x1A448, 4);
    EXPECT_NE(stamp, 0u);
    EXPECT_EQ(stamp, master);
}

TEST_F(ChannelModesTest, WithoutEtoEOnTheBoardTheIdleModeFollowsTheChannelType) {
    // Open forces the idle mode; a context's move afterwards asks for the
    // mode its new state wants, which the type overrides: unchanged, so
    // nothing more is sent.
    struct Row {
        const char* name;
        int index;
        Edits edits;
        std::int32_t idleAtOpen;
        std::vector<unsigned char> change;  // a state that asks for the other mode
    } rows[] = {
        {"a Player configured with E-to-E",
         1,
         {{kBoard, kNoEeBoard},
          {"<Monitor ee=\"false\" audioPair=\"0\"/>\n    <Ganging gangIndex=\"0\" "
           "gangOrder=\"1\"/>",
           "<Monitor ee=\"true\" audioPair=\"0\"/>\n    <Ganging gangIndex=\"0\" "
           "gangOrder=\"1\"/>"}},
         0,
         tmstest::ContextFixture::Change(0x0004, TmsCueRecord, 0.0f)},
        {"a Recorder configured without E-to-E",
         2,
         {{kBoard, kNoEeBoard},
          {"<Monitor ee=\"true\" audioPair=\"0\"/>", "<Monitor ee=\"false\" audioPair=\"0\"/>"}},
         1,
         tmstest::ContextFixture::Change(0x000C, TmsCuePlay, 0.0f, 10)},
        {"a Recorder on an E-to-E board, E-to-E off",
         2,
         {{"<Monitor ee=\"true\" audioPair=\"0\"/>", "<Monitor ee=\"false\" audioPair=\"0\"/>"}},
         0,
         tmstest::ContextFixture::Change(0x000C, TmsCuePlay, 0.0f, 10)},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        Configure(row.edits);
        Forget();
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, row.index), S_OK) << LastErrorText();
        EXPECT_EQ(IdleModesSent(Received()), std::vector<std::int32_t>{row.idleAtOpen});
        Forget();
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        ASSERT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(row.name), TRUE, 600,
                                            &code, &iid, reinterpret_cast<void**>(&timeline)),
                  S_OK)
            << LastErrorText();
        unsigned token = 0;
        ASSERT_EQ(m_channel->AllocateContext(code, &token), S_OK) << LastErrorText();
        CComPtr<ITmsContextBroker> broker;
        ASSERT_EQ(
            m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker)),
            S_OK);
        ASSERT_EQ(broker->ApplyContextChange(token, 124, row.change.data()), S_OK)
            << LastErrorText();
        EXPECT_TRUE(IdleModesSent(Received()).empty());
        ASSERT_EQ(m_channel->FreeContext(token), S_OK);
        ASSERT_EQ(m_channel->Close(), S_OK);
        m_channel.Release();
    }
}

TEST_F(ChannelModesTest, EachGpiTriggerActionSendsItsRecord) {
    const std::string input =
        "<GpiInput id=\"GpiInput2\" triggerAction=\"play\" controlIndex=\"1\"/>";
    const std::string panel = "<Panel shuttleSpeedMin=\"-32.0\" shuttleSpeedMax=\"32.0\"/>";
    const std::string distinct = "<Panel shuttleSpeedMin=\"-8.5\" shuttleSpeedMax=\"12.25\"/>";
    struct Row {
        const char* action;
        bool sent;
        std::uint32_t flags;
        std::int32_t portState;
        float speed;
    } rows[] = {
        {"Play", true, 0x104, TmsShuttlePlay, 1.0f},
        {"stop", true, 0x800, 0, 0.0f},
        {"REWIND", true, 0x104, TmsShuttlePlay, -8.5f},
        {"FastForward", true, 0x104, TmsShuttlePlay, 12.25f},
        {"record", true, 0x104, TmsShuttleRecord, 1.0f},
        {"cue", false, 0, 0, 0.0f},
        {"", false, 0, 0, 0.0f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action);
        Configure({{panel, distinct},
                   {input, std::string("<GpiInput id=\"GpiInput2\" triggerAction=\"") + row.action +
                               "\" controlIndex=\"5\"/>"}});
        Forget();
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, 1), S_OK) << LastErrorText();
        std::vector<tmstest::DumpedMessage> schedules;
        for (const auto& m : Received()) {
            if (m.FormName() == "schc") {
                schedules.push_back(m);
            }
        }
        ASSERT_EQ(schedules.size(), row.sent ? 2u : 1u) << "the cancel of every trigger first";
        EXPECT_EQ(ScheduleOf(schedules[0]).cancel, 1);
        if (row.sent) {
            const rts::ScheduleRecord s = ScheduleOf(schedules[1]);
            EXPECT_EQ(s.condition, 1);
            EXPECT_EQ(s.triggerValue, 5);
            EXPECT_EQ(s.cancel, 0);
            const rts::PortContextRecord ctx = ContextOf(schedules[1]);
            EXPECT_EQ(ctx.contextIndex, -1);
            EXPECT_EQ(ctx.changeId, -2);
            EXPECT_EQ(ctx.flags, row.flags);
            EXPECT_EQ(ctx.portState, row.portState);
            EXPECT_EQ(static_cast<float>(ctx.speed), row.speed);
        }
        ASSERT_EQ(m_channel->Close(), S_OK);
        m_channel.Release();
    }
}

// A shuttle range that is not a range (an end not finite, or the ends
// reversed) let every finite client speed through and sent its ends with GPI
// rewind and fast forward. It falls back to the defaults with a warning
// naming the values; a sound range is taken, and the contexts judge speeds
// by it from the first change on.
TEST_F(ChannelModesTest, AShuttleRangeNotFiniteOrReversedFallsBackToTheDefaults) {
    struct Row {
        const char* min;
        const char* max;
        const char* warning;  // nullptr: none
        float rewind, fastForward;
        HRESULT speed20;
    } rows[] = {
        {"nan", "32", "range nan to 32 is not a range; using -32 to 32", -32.0f, 32.0f, S_OK},
        {"-8", "INF", "range -8 to inf is not a range; using -32 to 32", -32.0f, 32.0f, S_OK},
        {"-infinity", "8", "range -inf to 8 is not a range; using -32 to 32", -32.0f, 32.0f, S_OK},
        {"12", "-8", "range 12 to -8 is not a range; using -32 to 32", -32.0f, 32.0f, S_OK},
        {"-8.5", "12.25", nullptr, -8.5f, 12.25f, E_INVALIDARG},
        {"3", "3", nullptr, 3.0f, 3.0f, E_INVALIDARG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.min) + " to " + row.max);
        Configure({{"<Panel shuttleSpeedMin=\"-32.0\" shuttleSpeedMax=\"32.0\"/>",
                    std::string("<Panel shuttleSpeedMin=\"") + row.min + "\" shuttleSpeedMax=\"" +
                        row.max + "\"/>"},
                   {"<GpiInput id=\"GpiInput2\" triggerAction=\"play\"",
                    "<GpiInput id=\"GpiInput2\" triggerAction=\"rewind\""},
                   {"<GpiInput id=\"GpiInput3\" triggerAction=\"record\"",
                    "<GpiInput id=\"GpiInput3\" triggerAction=\"FastForward\""},
                   {"<GpiInputComponent id=\"GpiInput2\"/>",
                    "<GpiInputComponent id=\"GpiInput2\"/>\n      <GpiInputComponent "
                    "id=\"GpiInput3\"/>"}});
        Forget();
        const std::size_t seen = tmstest::ReadLog().size();
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, 1), S_OK) << LastErrorText();
        std::vector<std::string> warnings;
        const auto log = tmstest::ReadLog();
        for (std::size_t i = seen; i < log.size(); ++i) {
            if (log[i].text.find("shuttle speed range") != std::string::npos) {
                warnings.push_back(log[i].text);
            }
        }
        if (row.warning == nullptr) {
            EXPECT_TRUE(warnings.empty());
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0], std::string("Chan2: Configured shuttle speed ") + row.warning);
        }
        std::vector<tmstest::DumpedMessage> schedules;
        for (const auto& m : Received()) {
            if (m.FormName() == "schc") {
                schedules.push_back(m);
            }
        }
        ASSERT_EQ(schedules.size(), 3u) << "the cancel, then rewind and fast forward";
        EXPECT_EQ(static_cast<float>(ContextOf(schedules[1]).speed), row.rewind);
        EXPECT_EQ(static_cast<float>(ContextOf(schedules[2]).speed), row.fastForward);

        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        ASSERT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(row.min), TRUE, 600,
                                            &code, &iid, reinterpret_cast<void**>(&timeline)),
                  S_OK)
            << LastErrorText();
        unsigned token = 0;
        ASSERT_EQ(m_channel->AllocateContext(code, &token), S_OK) << LastErrorText();
        CComPtr<ITmsContextBroker> broker;
        ASSERT_EQ(
            m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker)),
            S_OK);
        auto cue = tmstest::ContextFixture::Change(0x000C, TmsCuePlay, 0.0f, 10);
        ASSERT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
        auto play = tmstest::ContextFixture::Change(0x0104, TmsShuttlePlay, 20.0f, 10);
        EXPECT_EQ(broker->ApplyContextChange(token, 124, play.data()), row.speed20);
        // A pause is taken whatever the range, also one that leaves 0 out.
        auto pause = tmstest::ContextFixture::Change(0x0100, 0, 0.0f);
        EXPECT_EQ(broker->ApplyContextChange(token, 124, pause.data()), S_OK) << LastErrorText();
        ASSERT_EQ(m_channel->FreeContext(token), S_OK);
        ASSERT_EQ(m_channel->Close(), S_OK);
        m_channel.Release();
    }
}

TEST_F(ChannelModesTest, AnUnknownActionIsSkippedAndTheInputsAfterItAreSent) {
    Configure({{"<GpiInput id=\"GpiInput2\" triggerAction=\"play\"",
                "<GpiInput id=\"GpiInput2\" triggerAction=\"jog\""},
               {"<GpiInputComponent id=\"GpiInput2\"/>",
                "<GpiInputComponent id=\"GpiInput2\"/>\n      <GpiInputComponent "
                "id=\"GpiInput3\"/>"}});
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 1), S_OK) << LastErrorText();
    std::vector<tmstest::DumpedMessage> schedules;
    for (const auto& m : Received()) {
        if (m.FormName() == "schc") {
            schedules.push_back(m);
        }
    }
    ASSERT_EQ(schedules.size(), 2u);
    // GpiInput3: "record" on control index 2.
    EXPECT_EQ(ScheduleOf(schedules[1]).triggerValue, 2);
    EXPECT_EQ(ContextOf(schedules[1]).portState, TmsShuttleRecord);
}

using BrokerPlayingTest = tmstest::ContextFixture;

using tmstest::Eventually;

TEST_F(BrokerPlayingTest, IsPlayingIsOneOnlyWhileTheActivePortMoves) {
    const unsigned token = Alloc(Create("playing", true, 6000));
    auto playing = [&] {
        long value = 7;
        EXPECT_EQ(m_broker->IsPlaying(token, &value), S_OK) << LastErrorText();
        return value;
    };
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 100, 6000);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    EXPECT_EQ(playing(), 0);
    auto play = Change(0x0104, TmsShuttlePlay, 1.0f, 0, 6000);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    EXPECT_TRUE(Eventually([&] { return playing() == 1; }));
    auto stop = Change(0x10000, 0, 0.0f, 0, 6000);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, stop.data()), S_OK) << LastErrorText();
    EXPECT_TRUE(Eventually([&] { return playing() == 0; })) << "paused in play: speed 0.0";
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

}  // namespace
