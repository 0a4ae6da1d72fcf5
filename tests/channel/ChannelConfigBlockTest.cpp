// What the channel's configuration puts into its status block, and what a
// refresh of it does: every offset below is written out from the block's
// layout, each expected value from the configuration rows, never taken from
// the code. Channel 1 ("Chan2") of the sample configuration, re-read with
// RefreshConfig after each edit.
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kernel/Mutex.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/configmgr/SystemConfigFile.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"

namespace {

using namespace std::chrono_literals;
using Edits = std::vector<std::pair<std::string, std::string>>;

constexpr HRESULT kResourceNotFound = HR(0x80045224);

std::uint32_t U32At(const std::uint8_t* block, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, block + at, 4);
    return v;
}

// UTF-16 text up to its terminator, at most chars units.
std::string WideAt(const std::uint8_t* block, std::size_t at, std::size_t chars) {
    std::string out;
    for (std::size_t i = 0; i < chars; ++i) {
        const unsigned unit = block[at + 2 * i] | block[at + 2 * i + 1] << 8;
        if (unit == 0) {
            return out;
        }
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out + "<no terminator>";
}

using tmstest::Eventually;

rts::PortContextRecord ContextOf(const tmstest::DumpedMessage& m) {
    return m.ChunkAs<rts::PortContextRecord>(rts::kChunkContext);
}

class ChannelConfigBlockTest : public tmstest::ContextFixture {
protected:
    void SetUp() override {
        tmstest::ContextFixture::SetUp();
        m_original = ConfigText();
        BOOL created = FALSE;
        ASSERT_TRUE(m_block.Open(&created));
    }

    // The sample configuration with edits made, as the configuration
    // manager will read it next.
    void Configure(const Edits& edits) {
        std::string text = m_original;
        for (const auto& [from, to] : edits) {
            const std::size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            text.replace(at, from.size(), to);
        }
        std::ofstream(SystemConfigPath(), std::ios::trunc) << text;
    }
    // Configure, fill the given block bytes with 0xEE, refresh.
    HRESULT Refresh(const Edits& edits,
                    const std::vector<std::pair<std::size_t, std::size_t>>& poison = {}) {
        Configure(edits);
        for (const auto& [at, size] : poison) {
            std::memset(Block() + at, 0xEE, size);
        }
        Forget();
        return m_channel->RefreshConfig(CBstr(""));
    }
    std::uint8_t* Block() const { return m_block.StatusBlock(); }

    std::string m_original;
    CChanAccess m_block{kChannel};
};

// The block bytes configuration writes, each with its width.
const std::vector<std::pair<std::size_t, std::size_t>> kConfigFields = {
    {0x14514, 72}, {0x1455C, 72}, {0x145A4, 72}, {0x145EC, 72},  {0x1467C, 4},   {0x14680, 4},
    {0x150FC, 4},  {0x15100, 4},  {0x17664, 1},  {0x17665, 1},   {0x17666, 1},   {0x17668, 4},
    {0x1766C, 32}, {0x1A470, 72}, {0x1A4B8, 72}, {0x1A500, 520}, {0x1A708, 520}, {0x1A910, 72},
    {0x1A958, 72}, {0x1A9A0, 4},  {0x1A9A4, 4},  {0x1A9A8, 1},   {0x1A9A9, 1},   {0x1A9AA, 1}};

TEST_F(ChannelConfigBlockTest, TheSampleChannelIsWrittenAtEveryOffset) {
    ASSERT_EQ(Refresh({}, kConfigFields), S_OK) << LastErrorText();
    const std::uint8_t* b = Block();
    EXPECT_EQ(WideAt(b, 0x14514, 36), "Chan2");
    EXPECT_EQ(WideAt(b, 0x1455C, 36), "Player");
    EXPECT_EQ(WideAt(b, 0x145A4, 36), "test-app");
    EXPECT_EQ(WideAt(b, 0x145EC, 36), "Format525_60Hz_2To1");
    EXPECT_EQ(U32At(b, 0x1467C), 0u);  // Format525_60Hz_2To1 is format 0
    EXPECT_EQ(U32At(b, 0x14680), 2u);
    EXPECT_EQ(U32At(b, 0x150FC), 0u);  // gang index
    EXPECT_EQ(U32At(b, 0x15100), 1u);  // gang order
    EXPECT_EQ(b[0x17664], 0);          // E-to-E
    EXPECT_EQ(b[0x17665], 0);          // loop
    EXPECT_EQ(b[0x17666], 0);          // continuous record
    EXPECT_EQ(U32At(b, 0x17668), 0u);
    EXPECT_EQ(WideAt(b, 0x1766C, 16), "00:00:00:00");
    EXPECT_EQ(WideAt(b, 0x1A470, 36), "/dev/ttyS1");
    EXPECT_EQ(WideAt(b, 0x1A4B8, 36), "Serial9Pin");
    EXPECT_EQ(WideAt(b, 0x1A500, 260), "V:");
    EXPECT_EQ(WideAt(b, 0x1A708, 260), "default");
    EXPECT_EQ(WideAt(b, 0x1A910, 36), "Vitc");
    EXPECT_EQ(WideAt(b, 0x1A958, 36), "Ltc");
    EXPECT_EQ(U32At(b, 0x1A9A0), 0u);  // stop mode
    EXPECT_EQ(U32At(b, 0x1A9A4), 3u);  // Internal input, FreeRun generator
    EXPECT_EQ(b[0x1A9A8], 1);
    EXPECT_EQ(b[0x1A9A9], 1);
    EXPECT_EQ(b[0x1A9AA], 0);  // 16777216 has no bit 29
}

TEST_F(ChannelConfigBlockTest, GangRemoteAndRecordSettingsReachTheirFields) {
    const std::string remote =
        "<Remote controlPort=\"/dev/ttyS1\" protocol=\"Serial9Pin\" workingVolume=\"V:\" "
        "workingBin=\"default\" ltcTimerInput=\"Ltc\" vitcTimerInput=\"Vitc\" stopMode=\"0\" "
        "localControl=\"true\" remoteControl=\"true\"/>";
    const std::string chan2 =
        "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Player\" loop=\"false\" "
        "continuousRecord=\"false\" continuousRecordLength=\"00:00:00:00\"";
    struct Field {
        std::size_t at;
        std::uint32_t value;  // 32-bit unless one byte
        bool byte;
    };
    struct Row {
        const char* name;
        Edits edits;
        std::vector<Field> numbers;
        std::vector<std::pair<std::size_t, std::string>> texts;
    } rows[] = {
        {"gang 1 order 3",
         {{"<Ganging gangIndex=\"0\" gangOrder=\"1\"/>",
           "<Ganging gangIndex=\"1\" gangOrder=\"3\"/>"}},
         {{0x150FC, 1, false}, {0x15100, 3, false}},
         {}},
        {"no Ganging element",
         {{"<Ganging gangIndex=\"0\" gangOrder=\"1\"/>", ""}},
         {{0x150FC, 0xFFFFFFFF, false}, {0x15100, 0xFFFFFFFF, false}},
         {}},
        {"every Remote value",
         {{remote,
           "<Remote controlPort=\"COM7\" protocol=\"Odetics\" workingVolume=\"W:\" "
           "workingBin=\"news/late\" ltcTimerInput=\"AncLtc\" vitcTimerInput=\"AncVitc\" "
           "stopMode=\"3\" localControl=\"false\" remoteControl=\"FALSE\"/>"}},
         {{0x1A9A0, 3, false}, {0x1A9A8, 0, true}, {0x1A9A9, 0, true}},
         {{0x1A470, "COM7"},
          {0x1A4B8, "Odetics"},
          {0x1A500, "W:"},
          {0x1A708, "news/late"},
          {0x1A958, "AncLtc"},
          {0x1A910, "AncVitc"}}},
        // After the row above: an attribute that is absent keeps the value
        // read before, but the control port is emptied and the two controls
        // are set again before their reads.
        {"an empty Remote element",
         {{remote, "<Remote/>"}},
         {{0x1A9A0, 3, false}, {0x1A9A8, 1, true}, {0x1A9A9, 1, true}},
         {{0x1A470, ""},
          {0x1A4B8, "Odetics"},
          {0x1A500, "W:"},
          {0x1A708, "news/late"},
          {0x1A958, "AncLtc"},
          {0x1A910, "AncVitc"}}},
        {"loop, continuous record of one second",
         {{chan2,
           "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Player\" loop=\"true\" "
           "continuousRecord=\"TRUE\" continuousRecordLength=\"00:00:01:00\""}},
         {{0x17665, 1, true}, {0x17666, 1, true}, {0x17668, 60, false}},
         {{0x1766C, "00:00:01:00"}}},
        {"continuous record of one minute and ten frames",
         {{chan2,
           "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Player\" loop=\"0\" "
           "continuousRecord=\"1\" continuousRecordLength=\"00:01:00:10\""}},
         {{0x17665, 0, true}, {0x17666, 1, true}, {0x17668, 3600 + 20, false}},
         {{0x1766C, "00:01:00:10"}}},
        {"E-to-E configured on",
         {{"<Monitor ee=\"false\" audioPair=\"0\"/>\n    <Ganging gangIndex=\"0\" "
           "gangOrder=\"1\"/>",
           "<Monitor ee=\"true\" audioPair=\"0\"/>\n    <Ganging gangIndex=\"0\" "
           "gangOrder=\"1\"/>"}},
         {{0x17664, 1, true}},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Refresh(row.edits, kConfigFields), S_OK) << LastErrorText();
        for (const Field& f : row.numbers) {
            SCOPED_TRACE(f.at);
            if (f.byte) {
                EXPECT_EQ(Block()[f.at], f.value);
            } else {
                EXPECT_EQ(U32At(Block(), f.at), f.value);
            }
        }
        for (const auto& [at, text] : row.texts) {
            SCOPED_TRACE(at);
            EXPECT_EQ(WideAt(Block(), at, at == 0x1A500 || at == 0x1A708 ? 260 : 36), text);
        }
    }
}

TEST_F(ChannelConfigBlockTest, TimerModeFollowsTheTimecodeInputThenTheGeneratorMode) {
    const std::string generator =
        "<TcGenerator id=\"TcGenerator2\" genMode=\"FreeRun\" genFixedTimecode=\"16777216\"";
    const std::string codec = "<TcCodec id=\"TcCodec2\" currentTcInput=\"Internal\"/>";
    struct Row {
        const char* input;
        const char* mode;
        std::uint32_t timerMode;
    } rows[] = {
        {"Ltc", "FreeRun", 0},         {"AncLtc", "FixedStart", 0},   {"Vitc", "FixedStart", 2},
        {"AncVitc", "FreeRun", 2},     {"Internal", "FixedStart", 1}, {"Internal", "FreeRun", 3},
        {"ltc", "FixedStart", 1},  // the comparisons are exact
        {"Internal", "fixedstart", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.input) + " " + row.mode);
        ASSERT_EQ(Refresh({{codec, std::string("<TcCodec id=\"TcCodec2\" currentTcInput=\"") +
                                       row.input + "\"/>"},
                           {generator, std::string("<TcGenerator id=\"TcGenerator2\" genMode=\"") +
                                           row.mode + "\" genFixedTimecode=\"16777216\""}},
                          {{0x1A9A4, 4}}),
                  S_OK)
            << LastErrorText();
        EXPECT_EQ(U32At(Block(), 0x1A9A4), row.timerMode);
    }
}

TEST_F(ChannelConfigBlockTest, DropFrameIsBit29OfTheFixedTimecode) {
    const std::string fixed =
        "genMode=\"FreeRun\" genFixedTimecode=\"16777216\" genUserBits=\"0\"/>\n"
        "  <TcCodec id=\"TcCodec2\"";
    struct Row {
        const char* attribute;
        std::uint8_t dropFrame;
    } rows[] = {
        {"genFixedTimecode=\"536870912\"", 1},   // 0x20000000
        {"genFixedTimecode=\"553648128\"", 1},   // 0x21000000
        {"genFixedTimecode=\"1342177280\"", 0},  // 0x50000000: bits 28 and 30
        {"", 0},                                 // absent: 0x80000000
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.attribute);
        ASSERT_EQ(Refresh({{fixed, std::string("genMode=\"FreeRun\" ") + row.attribute +
                                       " genUserBits=\"0\"/>\n  <TcCodec id=\"TcCodec2\""}},
                          {{0x1A9AA, 1}}),
                  S_OK)
            << LastErrorText();
        EXPECT_EQ(Block()[0x1A9AA], row.dropFrame);
    }
}

TEST_F(ChannelConfigBlockTest, WithoutARemoteElementTheRemoteValuesAndFieldsStay) {
    const std::string remote =
        "<Remote controlPort=\"/dev/ttyS1\" protocol=\"Serial9Pin\" workingVolume=\"V:\" "
        "workingBin=\"default\" ltcTimerInput=\"Ltc\" vitcTimerInput=\"Vitc\" stopMode=\"0\" "
        "localControl=\"true\" remoteControl=\"true\"/>";
    // A stop mode of 3 first: a later read that took the default (0) would
    // send the end mode again.
    ASSERT_EQ(
        Refresh({{remote, "<Remote controlPort=\"COM7\" stopMode=\"3\" localControl=\"false\"/>"}}),
        S_OK)
        << LastErrorText();
    ASSERT_EQ(ReceivedForm("sbuf").size(), 1u);
    const std::vector<std::pair<std::size_t, std::size_t>> remoteFields = {
        {0x1A470, 72}, {0x1A4B8, 72}, {0x1A500, 520}, {0x1A708, 520}, {0x1A910, 72},
        {0x1A958, 72}, {0x1A9A0, 4},  {0x1A9A8, 1},   {0x1A9A9, 1}};
    ASSERT_EQ(Refresh({{remote, ""}}, remoteFields), S_OK) << LastErrorText();
    for (const auto& [at, size] : remoteFields) {
        SCOPED_TRACE(at);
        for (std::size_t i = 0; i < size; ++i) {
            ASSERT_EQ(Block()[at + i], 0xEE) << "byte " << i << " written";
        }
    }
    EXPECT_TRUE(ReceivedForm("sbuf").empty()) << "the stop mode kept its value";
    // The element back with the same stop mode: still nothing to send.
    ASSERT_EQ(Refresh({{remote, "<Remote stopMode=\"3\"/>"}}), S_OK) << LastErrorText();
    EXPECT_TRUE(ReceivedForm("sbuf").empty());
    EXPECT_EQ(U32At(Block(), 0x1A9A0), 3u);
}

TEST_F(ChannelConfigBlockTest, StopModesMapToDefaultEndModes) {
    // Stop mode -> default end mode: 0 Default (sent as Freeze), 1 and 2
    // Freeze, 3 Black, anything else EE, and 4 without E-to-E on the board
    // counts as 3.
    const std::string stop =
        "stopMode=\"0\" localControl=\"true\" remoteControl=\"true\"/>\n  "
        "</Channel>\n  <Channel id=\"Chan3\"";
    const std::string board = "<Board id=\"Board0\" slot=\"0\"/>";
    struct Row {
        const char* stopMode;
        bool noEe;
        int sends;  // messages expected
        std::int32_t endMode;
        const char* word;
    } rows[] = {
        {"1", false, 1, 0, "Freeze "}, {"2", false, 1, 0, "Freeze "}, {"3", false, 1, 2, "Black "},
        {"4", true, 1, 2, "Black "},   {"5", false, 1, 1, "EE "},     {"4", false, 1, 1, "EE "},
        {"4", false, 0, 0, ""},  // unchanged: nothing sent
        {"-1", false, 1, 1, "EE "},    {"0", false, 1, 0, "Freeze "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.stopMode) + (row.noEe ? " NoEe" : ""));
        Edits edits = {{stop, std::string("stopMode=\"") + row.stopMode +
                                  "\" localControl=\"true\" remoteControl=\"true\"/>\n  "
                                  "</Channel>\n  <Channel id=\"Chan3\""}};
        if (row.noEe) {
            edits.push_back({board, "<Board id=\"Board0\" slot=\"0\"><NoEe/></Board>"});
        }
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Refresh(edits), S_OK) << LastErrorText();
        EXPECT_EQ(static_cast<std::int32_t>(U32At(Block(), 0x1A9A0)), std::stoi(row.stopMode))
            << "the raw stop mode";
        const auto sent = ReceivedForm("sbuf");
        ASSERT_EQ(static_cast<int>(sent.size()), row.sends);
        if (row.sends == 0) {
            continue;
        }
        const rts::PortContextRecord ctx = ContextOf(sent[0]);
        EXPECT_EQ(ctx.contextIndex, -1);
        EXPECT_EQ(ctx.flags, 0x41u);
        EXPECT_EQ(ctx.trigger, 1);
        EXPECT_EQ(ctx.endMode, row.endMode);
        std::string traced;
        const auto log = tmstest::ReadLog();
        for (std::size_t i = seen; i < log.size(); ++i) {
            if (log[i].text.find("dftCtx: endMode=") != std::string::npos) {
                traced = log[i].text;
            }
        }
        EXPECT_EQ(traced, std::string("    Chan2:dftCtx: endMode=") + row.word);
    }
}

TEST_F(ChannelConfigBlockTest, ALoopChangePurgesEveryAllocatedContextOnce) {
    const unsigned token = Alloc(Create("looped", true, 600));
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 100);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    const std::string loop =
        "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Player\" loop=\"false\"";
    const std::string looped =
        "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Player\" loop=\"true\"";
    struct Row {
        const char* name;
        const std::string* to;
        bool purges;
    } rows[] = {{"loop on", &looped, true},
                {"loop still on", &looped, false},
                {"loop off", &loop, true},
                {"loop still off", &loop, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Refresh({{loop, *row.to}}), S_OK) << LastErrorText();
        int purges = 0;
        for (const auto& m : ReceivedForm("sbuf")) {
            const rts::PortContextRecord ctx = ContextOf(m);
            if (ctx.contextIndex == 0 && (ctx.flags & 0x0400u) != 0) {
                ++purges;
            }
        }
        EXPECT_EQ(purges, row.purges ? 1 : 0);
        EXPECT_EQ(Block()[0x17665], *row.to == looped ? 1 : 0);
    }
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

TEST_F(ChannelConfigBlockTest, ASecondReadRefreshesTheResourcesInPlace) {
    const std::string codec = "<VideoCodec id=\"VideoCodec2\" compressionFormat=\"Mpeg\"";
    ASSERT_EQ(Refresh({{codec, "<VideoCodec id=\"VideoCodec2\" compressionFormat=\"Dv25\""}}), S_OK)
        << LastErrorText();
    CVariant compression;
    ASSERT_EQ(m_channel->GetResourceProperty(CBstr("video"), 0, CBstr("compression"),
                                             compression.GetAddress()),
              S_OK)
        << LastErrorText();
    EXPECT_EQ(compression.ToString(), "Dv25");
    CVariant none;
    EXPECT_EQ(
        m_channel->GetResourceProperty(CBstr("video"), 1, CBstr("compression"), none.GetAddress()),
        kResourceNotFound)
        << "the first read made one video resource, the refresh none";

    // A second Video element is not created by a later read: it names a
    // resource the channel does not have.
    const std::string video =
        "<Video index=\"1\" assigned=\"true\">\n      <VideoInputComponent "
        "id=\"VideoInput2\"/>";
    EXPECT_EQ(Refresh({{video,
                        "<Video index=\"2\" assigned=\"true\"><VideoCodecComponent "
                        "id=\"VideoCodec2\"/></Video>\n    " +
                            video}}),
              kResourceNotFound);
}

// Chan2's ancillary-data and GPI resources, read again in place: a new
// block size and a new output show through the same resources, and the
// GPI "enabled" property set before the read stays (it is no
// configuration).
TEST_F(ChannelConfigBlockTest, AncillaryDataAndGpiAreReadAgainInPlace) {
    ASSERT_EQ(m_channel->SetResourceProperty(CBstr("gpi"), 0, CBstr("enabled"), CVariant(false)),
              S_OK)
        << LastErrorText();
    ASSERT_EQ(Refresh({{R"(<AncDataCodec id="AncDataCodec2" fieldsPerRiff="2"/>)",
                        R"(<AncDataCodec id="AncDataCodec2" fieldsPerRiff="5"/>)"},
                       {R"(<GpiOutput id="GpiOutput2" controlIndex="9")",
                        R"(<GpiOutput id="GpiOutput2" controlIndex="17")"}}),
              S_OK)
        << LastErrorText();
    CVariant v;
    ASSERT_EQ(m_channel->GetResourceStatus(CBstr("AncillaryData"), 0, CBstr("fieldsPerRiff"),
                                           v.GetAddress()),
              S_OK)
        << LastErrorText();
    EXPECT_EQ(v.ToInt32(), 5);
    ASSERT_EQ(m_channel->GetResourceProperty(CBstr("GPI"), 0, CBstr("Enabled"), v.GetAddress()),
              S_OK)
        << LastErrorText();
    EXPECT_FALSE(v.ToBool());
    // Properties of the ancillary-data resource: none, by name.
    EXPECT_EQ(m_channel->GetResourceProperty(CBstr("ancillaryData"), 0, CBstr("fieldsperriff"),
                                             v.GetAddress()),
              HR(0x8004300E));
    EXPECT_EQ(LastErrorText(),
              "ancillaryData property 'fieldsperriff' is not available through this interface");
    EXPECT_EQ(m_channel->GetResourceProperty(CBstr("gpi"), 1, CBstr("enabled"), v.GetAddress()),
              kResourceNotFound)
        << "the GPI resource is always number 0";
    // A second AncData element names a resource the channel does not have.
    EXPECT_EQ(Refresh({{R"(<AncData index="1" assigned="true">)",
                        R"(<AncData index="9"/><AncData index="1" assigned="true">)"}}),
              kResourceNotFound);
}

TEST_F(ChannelConfigBlockTest, ChangeStampsAreReadInTheirOrderAndNameTheirPart) {
    // Another process marks a change: its part's stamp and the master stamp
    // to the tick of the change. gpin sends the configuration and the GPI
    // inputs again, gpout the configuration alone, the others only re-read.
    struct Row {
        const char* part;
        std::size_t stamp;
        bool refresh;
        bool gpiInputs;
    } rows[] = {{"gpout", 0x1A460, true, false}, {"gpin", 0x1A45C, true, true},
                {"sys", 0x1A44C, false, false},  {"chan", 0x1A454, false, false},
                {"gang", 0x1A46C, false, false}, {"remote", 0x1A468, false, false}};
    std::uint32_t tick = 0x51000;
    std::uint32_t order = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.part);
        // The re-read shows in the block: a new gang order each time.
        ++order;
        Configure({{"<Ganging gangIndex=\"0\" gangOrder=\"1\"/>",
                    "<Ganging gangIndex=\"0\" gangOrder=\"" + std::to_string(order) + "\"/>"}});
        Forget();
        tick += 0x100;
        {
            // As another process writes them: under the status-file mutex.
            ASSERT_EQ(WaitForSingleObject(m_block.MutexHandle(), 5000), WAIT_OBJECT_0);
            std::memcpy(Block() + row.stamp, &tick, 4);
            std::memcpy(Block() + 0x1A448, &tick, 4);
            ReleaseMutex(m_block.MutexHandle());
        }
        ASSERT_TRUE(Eventually([&] { return U32At(Block(), 0x15100) == order; })) << "no re-read";
        // The refresh holds the channel lock to its end, messages included.
        BOOL ee = 0;
        ASSERT_EQ(m_channel->GetEtoE(&ee), S_OK);
        const auto got = Received();
        int refreshes = 0, schedules = 0;
        for (const auto& m : got) {
            refreshes += m.FormName() == "rfsh" ? 1 : 0;
            schedules += m.FormName() == "schc" ? 1 : 0;
        }
        EXPECT_EQ(refreshes, row.refresh ? 1 : 0);
        EXPECT_EQ(schedules, row.gpiInputs ? 2 : 0) << "cancel all, then GpiInput2";
    }
}

}  // namespace
